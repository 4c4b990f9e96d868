// The Intel HEX loader on the carried text.
//   build/bench/bench_loader CARRIED.hex
// Peer in the same run: one memchr pass over the same text for its record marks, the least
// any loader must do.
#include "firmware_image.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::string &text()
{
    static std::string t;
    return t;
}

void LoadCarriedImage(benchmark::State &state)
{
    for (auto _ : state) {
        ImageLoad load = parseIntelHex(text().data(), text().size(), 24);
        benchmark::DoNotOptimize(load.image.imageTop);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text().size()));
}
BENCHMARK(LoadCarriedImage)->Unit(benchmark::kMillisecond);

void ScanForRecordMarks(benchmark::State &state)
{
    for (auto _ : state) {
        size_t marks = 0;
        for (const char *p = text().data(), *end = p + text().size();
             (p = static_cast<const char *>(std::memchr(p, ':', size_t(end - p)))); ++p)
            ++marks;
        benchmark::DoNotOptimize(marks);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text().size()));
}
BENCHMARK(ScanForRecordMarks)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_loader CARRIED.hex [benchmark options]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    text().assign(std::istreambuf_iterator<char>(in), {});
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
