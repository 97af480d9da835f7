// Ticks, sleeps, wall-clock time and time zone. The ticks are published by the "refresh_timer"
// thread, started by the first tick read, so that every read is one flag test and one atomic load.
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "internal/log.h"
#include "platform/platform.h"
#include "vxmosal/VXM_os_thread.h"
#include "vxmosal/VXM_time.h"

namespace {

constexpr char kModuleTag[] = "os_utility";

constexpr int kTickThreadPriority = 31;          // accepted by the thread family, plays no part
constexpr unsigned int kTickThreadStack = 32768;
constexpr int kTickThreadNice = -20;             // the most urgent nice value
constexpr useconds_t kRefreshPeriodUs = 3000;
constexpr VXM_UINT32 kFirstSampleWaitMs = 2;
constexpr std::int64_t kNsPerMs = 1000000;

// Written by the tick thread only (the start flag by the starters). Relaxed order suffices: each
// value stands alone and readers only need to see it whole.
std::atomic<int> g_started{0};
std::atomic<int> g_firstSample{1};
std::atomic<std::int64_t> g_elapsedTicks{0};
std::atomic<VXM_UINT32> g_ticks{0};
std::atomic<VXM_UINT32> g_preciseTicks{0};
std::atomic<std::int64_t> g_monotonicMs{0};
std::atomic<time_t> g_startWallClock{0};
std::atomic<int> g_startTicksTaken{0};

static_assert(std::atomic<std::int64_t>::is_always_lock_free, "64-bit ticks must be lock-free");

// The fast path of every tick read.
inline bool tickThreadRuns() {
    return g_started.load(std::memory_order_relaxed) != 0 || VXM_startTimerThread() == 0;
}

}  // namespace

extern "C" {

int VXM_startTimerThread(void) {
    int expected = 0;
    if (!g_started.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) return 0;
    if (VXM_thread_create(VXM_refreshTimerStart, nullptr, nullptr, kTickThreadPriority,
                          kTickThreadStack) != 0) {
        g_started.store(0, std::memory_order_release);
        return -1;
    }
    VXM_delay(kFirstSampleWaitMs);
    return 0;
}

void* VXM_refreshTimerStart(void*) {
    VXM_thread_setname("refresh_timer");
    vxm::platform::setThreadPriority(0, kTickThreadNice);
    std::int64_t base = 0;
    for (;;) {
        std::int64_t reading = vxm::platform::systemTime(vxm::platform::Clock::Monotonic);
        std::int64_t elapsed = 0;
        if (g_firstSample.load(std::memory_order_relaxed) != 0) {
            base = reading;
            g_firstSample.store(0, std::memory_order_relaxed);
        } else {
            elapsed = (reading - base) / kNsPerMs;
        }
        g_elapsedTicks.store(elapsed, std::memory_order_relaxed);
        g_preciseTicks.store(static_cast<VXM_UINT32>(elapsed), std::memory_order_relaxed);
        g_ticks.store(static_cast<VXM_UINT32>(elapsed), std::memory_order_relaxed);
        g_monotonicMs.store(reading / kNsPerMs, std::memory_order_relaxed);
        usleep(kRefreshPeriodUs);
    }
    return nullptr;
}

VXM_UINT32 VXM_get_ticks(void) {
    return tickThreadRuns() ? g_ticks.load(std::memory_order_relaxed) : 0;
}

VXM_INT64 VXM_get_ticks_int64(void) {
    return tickThreadRuns() ? g_elapsedTicks.load(std::memory_order_relaxed) : 0;
}

VXM_UINT32 VXM_get_ticks_precious(void) {
    return tickThreadRuns() ? g_preciseTicks.load(std::memory_order_relaxed) : 0;
}

VXM_INT64 VXM_get_ticks_immediately(void) {
    return tickThreadRuns() ? g_monotonicMs.load(std::memory_order_relaxed) : 0;
}

VXM_INT64 VXM_get_real_ticks_immediately(void) {
    return vxm::platform::systemTime(vxm::platform::Clock::RealTime) / kNsPerMs;
}

void VXM_start_ticks(void) {
    int expected = 0;
    if (g_startTicksTaken.compare_exchange_strong(expected, 1, std::memory_order_relaxed))
        g_startWallClock.store(time(nullptr), std::memory_order_relaxed);
}

int VXM_delay(VXM_UINT32 ms) { return usleep(static_cast<VXM_UINT32>(ms * 1000u)); }

int VXM_sleep(VXM_UINT32 ms) { return VXM_delay(ms); }

int VXM_get_time(VXM_TIME_INFO* info) {
    if (info == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "param error!");
        return -1;
    }
    time_t now = time(nullptr);
    struct tm broken {};
    if (gmtime_r(&now, &broken) == nullptr) return -1;
    info->second = broken.tm_sec;
    info->minute = broken.tm_min;
    info->hour = broken.tm_hour;
    info->day = broken.tm_mday;
    info->month = broken.tm_mon + 1;
    info->year = broken.tm_year + 1900;
    return 0;
}

VXM_INT64 VXM_getUTCTimeStamp(void) {
    time_t now = time(nullptr);
    struct tm broken {};
    if (gmtime_r(&now, &broken) == nullptr) return -1;
    return static_cast<VXM_INT64>(mktime(&broken));
}

int VXM_timezone_set(const struct timezone* tz) {
    if (tz == nullptr) return -1;
    struct timeval now {};
    if (gettimeofday(&now, nullptr) != 0) return -1;
    // The C library refuses a time of day together with a zone; the kernel call takes both.
    return syscall(SYS_settimeofday, &now, tz) == 0 ? 0 : -1;
}

int VXM_timezone_get(struct timezone* tz) {
    if (tz == nullptr) return -1;
    struct timeval now {};
    return gettimeofday(&now, tz) == 0 ? 0 : -1;
}

}  // extern "C"
