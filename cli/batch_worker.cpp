#include "batch_worker.h"
#include "batch_report.h"
#include "json_line.h"
#include "safe_text.h"

#include <QDateTime>

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
    case WorkerSays::Result:
        end.hasResult = true;
        end.said = Outcome(o["exit"].toInt());
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

ReportRow BatchWorker::row(Outcome outcome) const
{
    ReportRow row;
    row.time = reportTime();
    row.port = port;
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
    return row;
}

std::string BatchWorker::lostRecord(const std::string &batchId, Outcome outcome) const
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    JsonLine line;
    line.text("start", now.addMSecs(-since.elapsed()).toString(Qt::ISODateWithMs).toStdString())
        .text("end", now.toString(Qt::ISODateWithMs).toStdString())
        .text("version", QTX_APP_VERSION)
        .text("program", "mova-update")
        .text("port", shownText(port));
    if (end.identified)
        line.object("device", JsonLine()
                                  .text("serial", serial)
                                  .text("serial_hex", serialHex)
                                  .number("hardware_version", hardware.value_or(0))
                                  .number("firmware_version", before.value_or(0)));
    return line.text("batch", batchId)
        .flag("writing", end.writing)
        .text("outcome", outcomeName(outcome))
        .number("exit", int(outcome))
        .text("text", message)
        .str();
}

JournalEntry BatchWorker::lostJournalEntry(const std::string &batchId, Outcome outcome) const
{
    JournalEntry e;
    e.program = "mova-update";
    e.port = port;
    e.identified = end.identified;
    if (end.identified) // the exact bytes, as the worker said them
        e.serial = QByteArray::fromHex(QByteArray::fromStdString(serialHex)).toStdString(), e.firmwareBefore = before;
    e.outcome = outcome;
    e.text = message;
    e.batch = batchId;
    return e;
}
