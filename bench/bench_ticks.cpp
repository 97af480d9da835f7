// Tick reads against the call they cost at least, an empty function exported from a shared library
// and called through the PLT, and against the monotonic clock read they stand in for.
#include <time.h>

#include "bench_ratio.h"
#include "vxmbench_baseline.h"
#include "vxmosal/VXM_time.h"

namespace {

void tickRead(benchmark::State& state) {
    VXM_get_ticks();  // the first read starts the tick thread; keep that out of the loop
    for (auto _ : state) benchmark::DoNotOptimize(VXM_get_ticks());
}

void emptyExportedCall(benchmark::State& state) {
    for (auto _ : state) {
        vxmbench_empty();
        benchmark::ClobberMemory();
    }
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
                    benchmark::RegisterBenchmark("empty_exported_call", emptyExportedCall),
                    benchmark::RegisterBenchmark("clock_gettime_MONOTONIC", monotonicClock)})
        b->Repetitions(kRepetitions)->DisplayAggregatesOnly(true);

    // No exported function can be ten times cheaper than clock_gettime, which costs about ten empty
    // exported calls here: that ratio is reported without a goal.
    return vxm::bench::runWithRatios(
        argc, argv,
        {{"VXM_get_ticks", "VXM_get_ticks", "empty_exported_call", "empty exported call",
          vxm::bench::Goal::AtMost, 1.3},
         {"clock_gettime_MONOTONIC", "clock_gettime(CLOCK_MONOTONIC)", "VXM_get_ticks", "VXM_get_ticks",
          vxm::bench::Goal::None, 0.0}});
}
