// Tick reads against the two things they stand in for: a relaxed atomic load (what a read should
// cost) and a monotonic clock read (what a read saves).
#include <time.h>

#include <atomic>
#include <cstdint>

#include "bench_ratio.h"
#include "vxmosal/VXM_time.h"

namespace {

std::atomic<std::uint32_t> g_word{0};

void tickRead(benchmark::State& state) {
    VXM_get_ticks();  // the first read starts the tick thread; keep that out of the loop
    for (auto _ : state) benchmark::DoNotOptimize(VXM_get_ticks());
}

void relaxedLoad(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(g_word.load(std::memory_order_relaxed));
}

void monotonicClock(benchmark::State& state) {
    for (auto _ : state) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        benchmark::DoNotOptimize(now);
    }
}

}  // namespace

int main(int argc, char** argv) {
    using vxm::bench::kRepetitions;
    for (auto* b : {benchmark::RegisterBenchmark("VXM_get_ticks", tickRead),
                    benchmark::RegisterBenchmark("atomic_load_relaxed", relaxedLoad),
                    benchmark::RegisterBenchmark("clock_gettime_MONOTONIC", monotonicClock)})
        b->Repetitions(kRepetitions)->DisplayAggregatesOnly(true);

    return vxm::bench::runWithRatios(
        argc, argv,
        {{"VXM_get_ticks", "VXM_get_ticks", "atomic_load_relaxed", "relaxed atomic load",
          vxm::bench::Goal::AtMost, 2.0},
         {"clock_gettime_MONOTONIC", "clock_gettime(CLOCK_MONOTONIC)", "VXM_get_ticks",
          "VXM_get_ticks", vxm::bench::Goal::AtLeast, 10.0}});
}
