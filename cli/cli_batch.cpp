#include "cli_batch.h"
#include "batch.h"
#include "console_batch_view.h"
#include "stop_signals.h"

#include <QEventLoop>
#include <csignal>
#include <iostream>

int runBatch(const CliArguments &a, bool json, bool liveLines)
{
    BatchOptions options = a; // the batch's own options, as read
    if (std::string error; !socketNames(a, options.sockets, error)) {
        std::cerr << "mova-update: " << error << std::endl;
        return int(Outcome::Usage);
    }
    Batch *shown = nullptr; // the live lines show the batch as it is
    const std::unique_ptr<BatchView> view = makeBatchView(json, liveLines, [&shown] {
        return shown ? shown->board() : BatchBoard {};
    });
    Batch batch(options, *view);
    shown = &batch;
    QEventLoop loop;
    StopSignals stops({SIGINT, SIGTERM, SIGHUP}, [&batch](int number) { batch.signal(number); });
    if (const std::optional<int> cannot = batch.start([&loop] { loop.quit(); }))
        return *cannot;
    if (!batch.over())
        loop.exec();
    return batch.finish();
}
