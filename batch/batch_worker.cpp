#include "batch_worker.h"
#include "batch.h"
#include "batch_report.h"
#include "clock.h"
#include "readout.h"
#include "run_record.h"
#include "safe_text.h"
#include "session.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace {

// What a worker says, taken in as its worker's facts.
class Taker final : public WorkerListener {
public:
    explicit Taker(BatchWorker &w) : w_(w) {}
    void device(const DeviceFacts &d) override
    {
        w_.serial = shownText(serialBytes(d.record));
        w_.serialHex = hexBytes(serialBytes(d.record));
        w_.end.identified = true;
        w_.battery = d.batteryText();
        w_.batteryPercent = d.batteryPercent;
        w_.hardware = d.record.hardwareVersion;
        w_.firmwareDate = std::string(d.record.firmwareDate, strnlen(d.record.firmwareDate, sizeof d.record.firmwareDate));
        w_.before = d.record.firmwareVersion;
        w_.state = WorkerState::Waiting;
    }
    void stage(ProgressStage, const std::string &caption) override
    {
        w_.stage = caption;
        w_.percent = 0;
        w_.left.reset();
    }
    void progress(int percent) override { w_.percent = percent; }
    void estimate(bool present, std::optional<double> leftS) override
    {
        w_.present = present;
        w_.left = leftS;
    }
    void explained(const RunMessage &m, const std::string &) override
    {
        if (m.kind != MessageKind::Diagnostic)
            w_.message = m.text;
    }
    void plan(const RunPlan &p) override { w_.firmwareNewer = p.firmwareIs == FirmwareAge::Older; }
    void writing(bool on) override { w_.end.writing = w_.end.writing || on; }
    void after(const DeviceFacts &d) override { w_.after = d.record.firmwareVersion; }
    void reported(const ReportRow &row) override { w_.reported = row; }
    void result(const RunEnd &end) override
    {
        w_.end.hasResult = true;
        w_.end.said = end.outcome;
        w_.end.saidWithoutFirmware = end.mayBeWithoutFirmware();
        w_.end.firmwareConfirmed = end.run && end.run->firmwareConfirmed;
        w_.end.tableSent = end.run && end.run->tableSent;
        if (!end.text.empty())
            w_.message = end.text;
    }

private:
    BatchWorker &w_;
};

// Each event of a worker's line to the batch's facts first, then to the worker's view with the
// worker as it stands now: the view shows the worker as it is.
class Both final : public WorkerListener {
public:
    Both(BatchWorker &w, int64_t nowMs) : w_(w), nowMs_(nowMs) {}
    bool planned = false; // the worker said who its device is and waits for its word

    void device(const DeviceFacts &d) override { each(&WorkerListener::device, d); }
    void plan(const RunPlan &p) override { planned = true, each(&WorkerListener::plan, p); }
    void writing(bool on) override { each(&WorkerListener::writing, on); }
    void stage(ProgressStage s, const std::string &caption) override { each(&WorkerListener::stage, s, caption); }
    void progress(int percent) override { each(&WorkerListener::progress, percent); }
    void after(const DeviceFacts &d) override { each(&WorkerListener::after, d); }
    void result(const RunEnd &end) override { each(&WorkerListener::result, end); }
    void explained(const RunMessage &m, const std::string &why) override { each(&WorkerListener::explained, m, why); }
    void remark(const std::string &text) override { each(&WorkerListener::remark, text); }
    void estimate(bool present, std::optional<double> left) override { each(&WorkerListener::estimate, present, left); }
    void reported(const ReportRow &row) override { each(&WorkerListener::reported, row); }
    void relay(const std::string &json, bool progress) override { each(&WorkerListener::relay, json, progress); }
    void heard() override { each(&WorkerListener::heard); }

private:
    template <typename Listener, typename... Params>
    void each(void (Listener::*event)(Params...), std::type_identity_t<Params>... args)
    {
        (w_.taker().*event)(args...);
        if (!w_.view)
            return;
        w_.view->now = w_.shown();
        w_.view->nowMs = nowMs_;
        (w_.view.get()->*event)(args...);
    }
    BatchWorker &w_;
    const int64_t nowMs_;
};

} // namespace

bool BatchWorker::hear(const QByteArray &line, int64_t nowMs)
{
    Both both(*this, nowMs);
    hearWorker(line, port, both);
    return both.planned;
}

BatchWorker::BatchWorker() : taker_(std::make_unique<Taker>(*this)) {}
BatchWorker::~BatchWorker() = default;

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
    row.firmwareNewer = firmwareNewer;
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
