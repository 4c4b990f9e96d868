#include "batch_worker.h"
#include "batch.h"
#include "batch_report.h"
#include "clock.h"
#include "json_line.h"
#include "run_record.h"
#include "safe_text.h"
#include "session.h"

#include <algorithm>

void BatchWorker::take(const WorkerEvent &e)
{
    const QJsonObject &o = e.fields;
    switch (e.kind) {
    case WorkerSays::Plan:
        serial = shownField(o["serial"]);
        serialHex = o["serial_hex"].toString().toStdString();
        end.identified = true;
        battery = shownField(o["battery"]);
        if (o.contains("battery_percent"))
            batteryPercent = o["battery_percent"].toInt();
        hardware = o["hardware_version"].toInt();
        firmwareDate = deviceDateOf(o["firmware_date"].toString().toStdString());
        before = o["firmware_version"].toInt();
        state = WorkerState::Waiting;
        break;
    case WorkerSays::Stage:
        stage = shownField(o["name"]);
        percent = 0;
        left.reset();
        break;
    case WorkerSays::Progress:
        percent = o["percent"].toInt();
        present = o["device_present"].toBool(true);
        left.reset(); // an estimate the worker no longer gives (a stage done, a device gone) goes
        if (o.contains("run_left_s"))
            left = o["run_left_s"].toDouble();
        break;
    case WorkerSays::Message:
        message = shownField(o["text"]);
        break;
    case WorkerSays::Writing:
        end.writing = true;
        break;
    case WorkerSays::After:
        after = o["firmware_version"].toInt();
        break;
    case WorkerSays::Row:
        reported = reportRowOf(o["row"].toObject());
        break;
    case WorkerSays::Result:
        end.hasResult = true;
        // By its name: both successes exit 0.
        end.said = outcomeByName(o["outcome"].toString().toStdString()).value_or(Outcome(o["exit"].toInt()));
        end.saidWithoutFirmware = o["may_be_without_firmware"].toBool();
        end.firmwareConfirmed = o["firmware_confirmed"].toBool();
        end.tableSent = o["table_sent"].toBool();
        if (const std::string text = shownField(o["text"]); !text.empty())
            message = text;
        break;
    default:
        break;
    }
}

Outcome BatchWorker::ended(bool normally, int exitCode, const std::string &processError)
{
    state = WorkerState::Done;
    end.exitedNormally = normally;
    end.exitCode = exitCode;
    const Outcome outcome = workerOutcome(end);
    if (outcome == Outcome::WorkerLost || outcome == Outcome::Unidentified) {
        const std::string how = normally ? "ended without its result" : "ended abnormally (" + processError + ")";
        message = outcome == Outcome::Unidentified ? "the update of this device " + how + " before it said which device it found; nothing was written"
                  : end.writing ? "the update of this device " + how + " while the device was written: the device may be "
                                  "without working firmware; plug it in again and update it once more"
                                : "the update of this device " + how + " before the device was written";
    } else if (outcome == Outcome::Internal && end.hasResult && end.said == Outcome::Updated) {
        message = "the update of this device said it succeeded, but not that the device confirmed its firmware and "
                  "took its table";
    }
    return outcome;
}

QStringList BatchWorker::arguments(const BatchOptions &a, const std::string &batchId) const
{
    QStringList arguments {"--json", "--worker", QString::fromStdString(batchId), "--run-id",
                           QString::fromStdString(runId), "--port", QString::fromStdString(port),
                           "--socket", QString::fromStdString(socket)};
    for (const BatchOption<bool> &o : BatchSwitches)
        if (a.*o.field)
            arguments << QString::fromUtf8(o.option);
    // Its own row and hook among them: neither waits for the batch to hear the worker's result.
    for (const BatchOption<std::string> &o : BatchValues)
        if (!(a.*o.field).empty())
            arguments << QString::fromUtf8(o.option) << QString::fromStdString(a.*o.field);
    return arguments << "update";
}

ReportRow BatchWorker::row(Outcome outcome) const
{
    ReportRow row;
    row.time = reportTime();
    row.port = port;
    row.socket = socket;
    row.serial = serial;
    row.serialHex = serialHex;
    row.hardwareVersion = hardware;
    row.firmwareBefore = before;
    row.firmwareAfter = after;
    row.battery = battery;
    row.batteryPercent = batteryPercent;
    row.outcome = outcome;
    row.message = message;
    row.durationS = double(since.elapsed()) / 1000.0;
    row.mayBeWithoutFirmware = mayBeWithoutFirmware(end);
    row.run = runId;
    return row;
}

DeviceFacts BatchWorker::device() const
{
    DeviceFacts d;
    d.port = port;
    d.socket = socket;
    const QByteArray bytes = QByteArray::fromHex(QByteArray::fromStdString(serialHex));
    std::copy_n(bytes.constData(), std::min<qsizetype>(bytes.size(), sizeof d.record.serialNumber),
                d.record.serialNumber);
    std::copy_n(firmwareDate.data(), std::min(firmwareDate.size(), sizeof d.record.firmwareDate),
                d.record.firmwareDate);
    d.record.hardwareVersion = hardware.value_or(0);
    d.record.firmwareVersion = before.value_or(0);
    d.batteryPercent = batteryPercent;
    return d;
}

void BatchWorker::recordLost(Outcome outcome, const Payloads &payloads, const std::string &batchId,
                             RunStore &store) const
{
    Session where; // a device never identified is named by its port
    where.portPathOverride = port;
    where.socket = socket;
    RunRecord record(realClock(), where, payloads, store);
    record.noteRun(runId); // the run it began: one record, under its id
    record.begin(since.elapsed());
    record.adoptTrace(); // its bytes, as far as it wrote them
    record.noteBatch(batchId);
    if (end.identified)
        record.device(device());
    record.writing(end.writing);
    record.result({outcome, message, std::nullopt, false, mayBeWithoutFirmware(end)});
}
