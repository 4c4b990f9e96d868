// The link on the tty road against the emulator on a pseudo-terminal.
//   build/bench/bench_link --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// Peers in the same run: a bare write()/poll()/read() of one byte on the same terminal (what
// the road costs beyond the system calls), and a bare poll() sleep of 1000 ms (the CPU an
// idle wait should cost).
#include "clock.h"
#include "protocol.h"
#include "pty_emulator.h"
#include "usb_connection.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string linkPath()
{
    static const std::string path = [] {
        char dir[] = "/tmp/mova-bench.XXXXXX";
        return std::string(mkdtemp(dir)) + "/ttyMOVA";
    }();
    return path;
}

PtyEmulator &emulator()
{
    static PtyEmulator *e = [] {
        PtyEmulator::Options o;
        o.link = linkPath();
        auto *p = new PtyEmulator(o);
        p->start();
        return p;
    }();
    return *e;
}

void SendCommandRoundTrip(benchmark::State &state)
{
    emulator();
    UsbConnection link(realClock());
    if (!link.openComPort(linkPath(), false)) {
        state.SkipWithError("cannot open the emulator's terminal");
        return;
    }
    for (auto _ : state) {
        if (!link.sendCommand(Cmd::Probe, false))
            state.SkipWithError("no echo");
    }
}
BENCHMARK(SendCommandRoundTrip)->Unit(benchmark::kMicrosecond);

// Peer: the same exchange with nothing but the system calls.
void BareByteRoundTrip(benchmark::State &state)
{
    emulator();
    const int fd = ::open(linkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio {};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);
    for (auto _ : state) {
        uint8_t b = Cmd::Probe;
        if (::write(fd, &b, 1) != 1)
            state.SkipWithError("write");
        pollfd p {fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1 || ::read(fd, &b, 1) != 1)
            state.SkipWithError("no echo");
    }
    ::close(fd);
}
BENCHMARK(BareByteRoundTrip)->Unit(benchmark::kMicrosecond);

// A read that waits out the standing 1000 ms time-out on a silent device: the CPU column
// (this thread only; the emulator serves on its own) is what the wait costs.
void ReadWaitsOutTimeout(benchmark::State &state)
{
    emulator();
    UsbConnection link(realClock());
    if (!link.openComPort(linkPath(), false)) {
        state.SkipWithError("cannot open the emulator's terminal");
        return;
    }
    for (auto _ : state) {
        uint8_t b;
        if (link.read(&b, 1))
            state.SkipWithError("a silent device answered");
    }
}
BENCHMARK(ReadWaitsOutTimeout)->Unit(benchmark::kMillisecond)->Iterations(3);

void BarePollSleep(benchmark::State &state)
{
    for (auto _ : state)
        ::poll(nullptr, 0, 1000);
}
BENCHMARK(BarePollSleep)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
