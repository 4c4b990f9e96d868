#pragma once
#include <QObject>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct ReportRow;

// The operator's program run after each device's update ends (--on-result): a label
// printer, a line's own database. It is told the device's facts in its environment
// (MOVA_SERIAL, MOVA_SERIAL_HEX, MOVA_SOCKET, MOVA_PORT, MOVA_OUTCOME, MOVA_EXIT,
// MOVA_FIRMWARE_BEFORE, MOVA_FIRMWARE_AFTER, MOVA_MAY_BE_WITHOUT_FIRMWARE, MOVA_REPORT_ROW,
// MOVA_RUN)
// and gets no argument: nothing a device chose ever becomes a word of a command, and no
// shell reads it. It runs beside the batch, never holding it: several may run at once,
// each for at most its limit, its input empty and its output shown a few lines at most.
// Its failure is said and kept in hooks.jsonl beside the run record; it never changes what
// the device came to.
class ResultHooks {
public:
    static constexpr int LimitMs = 10'000;    // then SIGTERM
    static constexpr int KillAfterMs = 2'000; // then SIGKILL
    static constexpr int MaxLines = 20;       // of its output shown; the rest is read and dropped
    static constexpr int MaxLineBytes = 200;

    // `program` as given (a path, or a name looked up in PATH); none runs when it is empty.
    // `folder` keeps hooks.jsonl (empty: nowhere); `say` shows a line to the operator
    // without waiting for any reader. QTX_MOVA_HOOK_LIMIT_MS sets a shorter limit (the test
    // suite's hooks that hang).
    ResultHooks(std::string program, std::string folder, std::function<void(const std::string &)> say);
    ~ResultHooks();
    ResultHooks(const ResultHooks &) = delete;
    ResultHooks &operator=(const ResultHooks &) = delete;

    // Starts the program for the device of this row, and returns at once.
    void run(const ReportRow &row);
    int running() const;
    // Told each time the last hook still running has ended.
    std::function<void()> idle;
    // Turns the event loop until none runs: each ends within its limit.
    void waitAll();

private:
    struct Hook;
    void show(Hook &h, const QByteArray &line);
    void take(Hook &h, QByteArray bytes, int channel);
    void ended(Hook &h, const std::string &why);
    void record(const Hook &h, const std::string &why);

    const std::string program_, folder_;
    const std::function<void(const std::string &)> say_;
    int limitMs_ = LimitMs;
    bool recordFailed_ = false;
    // Whether these hooks still live, asked by a record's write on the file writer's thread.
    struct Guard {
        std::mutex m;
        bool alive = true;
    };
    const std::shared_ptr<Guard> guard_ = std::make_shared<Guard>();
    std::vector<std::unique_ptr<Hook>> hooks_;
    QObject context_; // what the hooks' timers and signals belong to
};
