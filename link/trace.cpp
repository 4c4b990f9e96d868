#include "trace.h"
#include "clock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool fromEnvironment()
{
    const char *v = std::getenv("QTX_MOVA_TRACE");
    return v && *v && std::strcmp(v, "0") != 0;
}

int64_t sinceStart(Clock &clock)
{
    static const int64_t start = clock.nowMs();
    return clock.nowMs() - start;
}

} // namespace

bool Trace::enabled_ = fromEnvironment();

void Trace::write(Clock &clock, const char *road, char direction, const uint8_t *data, int length)
{
    // One line per transfer: "mova-trace <ms> <road> <dir> <hex bytes>".
    std::fprintf(stderr, "mova-trace %8lld %-4s %c", static_cast<long long>(sinceStart(clock)), road,
                 direction);
    for (int i = 0; i < length; ++i)
        std::fprintf(stderr, " %02X", data[i]);
    std::fputc('\n', stderr);
}

void Trace::writeNote(Clock &clock, const char *road, const char *text)
{
    std::fprintf(stderr, "mova-trace %8lld %-4s # %s\n", static_cast<long long>(sinceStart(clock)), road,
                 text);
}
