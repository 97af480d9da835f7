// How late the timer service runs one-shot timers: 100 of them, due 40 ms apart (more than the 20 ms
// between checks, so that no two are due at the same check), each recording when its callback ran.
// Lateness is the callback's monotonic time minus the add's monotonic time plus the delay. The
// service counts in ticks, which lag the clock by up to one 3 ms refresh, so a timer may run a little
// before its due time by the clock: the minimum can be slightly negative.
//
// Two rounds: on an idle process, then with one more thread spinning on a core, as a busy program
// would.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "bench_ratio.h"
#include "vxmosal/VXM_os_timer.h"
#include "vxmosal/VXM_time.h"

namespace {

constexpr int kTimers = VXM_TIMER_MAX_PENDING;
constexpr VXM_UINT32 kSpacingMs = 40;
constexpr VXM_UINT32 kCheckPeriodMs = 20;
constexpr double kGoalP99Ms = 22.0;  // idle round

std::int64_t monotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Written by the timer thread, read by main once every timer has run.
std::atomic<std::int64_t> g_firedNs[kTimers];
std::atomic<int> g_runs[kTimers];
std::atomic<int> g_fired{0};

void recordFiring(int, int index) {
    g_firedNs[index].store(monotonicNs(), std::memory_order_relaxed);
    g_runs[index].fetch_add(1, std::memory_order_relaxed);
    g_fired.fetch_add(1, std::memory_order_release);
}

// Nearest rank: the smallest value with at least percent % of the values at or below it.
double percentile(const std::vector<double>& sorted, std::size_t percent) {
    std::size_t rank = (percent * sorted.size() + 99) / 100;
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

// One round of kTimers timers. @return false (with a message) when a timer never ran or ran twice.
bool measureRound(const char* name, std::vector<double>* lateness) {
    for (int i = 0; i < kTimers; ++i) g_runs[i].store(0, std::memory_order_relaxed);
    g_fired.store(0, std::memory_order_relaxed);
    std::vector<std::int64_t> dueNs(kTimers);
    for (int i = 0; i < kTimers; ++i) {
        const VXM_UINT32 delay = static_cast<VXM_UINT32>(i + 1) * kSpacingMs;
        dueNs[i] = monotonicNs() + static_cast<std::int64_t>(delay) * 1000000;
        if (VXM_timer_add(recordFiring, i, delay, 0) < 0) {
            std::fprintf(stderr, "%s: VXM_timer_add of timer %d (%u ms) failed\n", name, i + 1, delay);
            return false;
        }
    }
    // The last one is due after kTimers * 40 ms; allow two more seconds.
    const std::int64_t deadline = dueNs[kTimers - 1] + 2000000000LL;
    while (g_fired.load(std::memory_order_acquire) < kTimers && monotonicNs() < deadline) usleep(50000);

    int missing = 0;
    int repeated = 0;
    for (int i = 0; i < kTimers; ++i) {
        const int runs = g_runs[i].load(std::memory_order_relaxed);
        if (runs == 0) {
            ++missing;
            continue;
        }
        if (runs > 1) ++repeated;
        lateness->push_back(static_cast<double>(g_firedNs[i].load(std::memory_order_relaxed) - dueNs[i]) / 1e6);
    }
    if (missing != 0 || repeated != 0) {
        std::fprintf(stderr, "%s: of %d one-shot timers %d never ran and %d ran more than once\n", name,
                     kTimers, missing, repeated);
        return false;
    }
    std::sort(lateness->begin(), lateness->end());
    return true;
}

void printRound(const char* name, const std::vector<double>& lateness) {
    std::printf("%-14s lateness: min %.2f ms, p50 %.2f ms, p99 %.2f ms, max %.2f ms; %d of %d over the "
                "%u ms check period\n",
                name, lateness.front(), percentile(lateness, 50), percentile(lateness, 99), lateness.back(),
                static_cast<int>(lateness.end() -
                                 std::upper_bound(lateness.begin(), lateness.end(), double{kCheckPeriodMs})),
                kTimers, kCheckPeriodMs);
}

}  // namespace

int main() {
    VXM_get_ticks();  // the tick thread's start stays out of the first timer's lateness
    if (VXM_timer_init() != 0) {
        std::fprintf(stderr, "VXM_timer_init failed\n");
        return 1;
    }
    std::vector<double> idle;
    std::vector<double> busy;
    bool measured = measureRound("idle", &idle);
    if (measured) {
        std::atomic<bool> spin{true};
        std::thread spinner([&] {
            while (spin.load(std::memory_order_relaxed)) {
            }
        });
        measured = measureRound("one busy core", &busy);
        spin.store(false, std::memory_order_relaxed);
        spinner.join();
    }
    VXM_timer_quit();
    if (!measured) return 1;

    std::printf("%d one-shot timers due every %u ms, checked every %u ms, per round\n", kTimers, kSpacingMs,
                kCheckPeriodMs);
    printRound("idle", idle);
    printRound("one busy core", busy);
    using vxm::bench::printMeasured;
    printMeasured("timer lateness p99 idle", percentile(idle, 99), " ms", vxm::bench::Goal::Below, kGoalP99Ms);
    printMeasured("timer lateness p99 with one busy core", percentile(busy, 99), " ms");
    return 0;
}
