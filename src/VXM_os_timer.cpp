// The timer service: a sorted list of at most 100 pending timers and one thread that checks the
// earliest every 20 ms and runs it, holding no lock, once it is due.
#include "vxmosal/VXM_os_timer.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "internal/log.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_os_thread.h"
#include "vxmosal/VXM_time.h"

namespace {

constexpr char kModuleTag[] = "os_time";

constexpr int kMaxPending = VXM_TIMER_MAX_PENDING;
constexpr int kIdSlots = 100;        // periodic identifiers 1..99; slot 0 is never used
constexpr int kFreeId = -1;
constexpr int kOneShotBase = 101;    // the first one-shot identifier handed out is 102
constexpr int kOneShotWrapAbove = 65534;
constexpr int kOneShotRestart = 102;
constexpr VXM_UINT32 kCheckPeriodMs = 20;
constexpr unsigned int kTimerThreadStack = 131072;

// Guarded by g_listMutex.
struct Service {
    VXM_TIMER_INFO pending[kMaxPending];
    int count;
    int ids[kIdSlots];
    int oneShotCounter;
};
Service g_service = {{}, 0, {}, kOneShotBase};

// Plain process-wide switches, read without the list lock.
std::atomic<unsigned long> g_listMutex{0};
std::atomic<unsigned long> g_pTimerThread{0};
std::atomic<pthread_t> g_timerThreadId{};  // the timer thread's own identifier, while it runs
std::atomic<int> g_running{0};
std::atomic<int> g_initialised{0};

class ListLock {
public:
    ListLock() noexcept : mutex_(g_listMutex.load(std::memory_order_acquire)) { VXM_mutex_lock(mutex_); }
    ~ListLock() { VXM_mutex_unlock(mutex_); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    unsigned long mutex_;
};

std::uint64_t expiryOf(const VXM_TIMER_INFO& timer) noexcept {
    return static_cast<std::uint64_t>(timer.start) + timer.ulDelay;
}

// Under the list lock. A new timer goes before pending timers that expire at the same moment.
bool insertTimer(const VXM_TIMER_INFO& timer) noexcept {
    Service& s = g_service;
    if (s.count >= kMaxPending) return false;
    const std::uint64_t expiry = expiryOf(timer);
    int position = 0;
    while (position < s.count && expiryOf(s.pending[position]) < expiry) ++position;
    for (int i = s.count; i > position; --i) s.pending[i] = s.pending[i - 1];
    s.pending[position] = timer;
    ++s.count;
    return true;
}

// Under the list lock. Returns the removed record through removed; false when not pending.
bool removeTimer(int id, VXM_TIMER_INFO* removed) noexcept {
    Service& s = g_service;
    if (id < 0 || s.count == 0) return false;
    int position = 0;
    while (position < s.count && s.pending[position].id != id) ++position;
    if (position == s.count) return false;
    *removed = s.pending[position];
    for (int i = position; i + 1 < s.count; ++i) s.pending[i] = s.pending[i + 1];
    --s.count;
    s.pending[s.count] = VXM_TIMER_INFO{};
    return true;
}

void freeAllIds() noexcept {
    for (int& id : g_service.ids) id = kFreeId;
}

int addPeriodic(const VXM_TIMER_INFO& timer) noexcept {
    Service& s = g_service;
    for (int i = 1; i < kIdSlots; ++i) {
        if (s.ids[i] != kFreeId) continue;
        VXM_TIMER_INFO armed = timer;
        armed.id = i;
        if (!insertTimer(armed)) return -1;
        s.ids[i] = i;
        return i;
    }
    return -1;
}

int addOneShot(const VXM_TIMER_INFO& timer) noexcept {
    Service& s = g_service;
    s.oneShotCounter = s.oneShotCounter > kOneShotWrapAbove ? kOneShotRestart : s.oneShotCounter + 1;
    VXM_TIMER_INFO armed = timer;
    armed.id = s.oneShotCounter;
    return insertTimer(armed) ? armed.id : -1;
}

// One check: runs the earliest timer when it is due, then re-arms it if it is periodic and was not
// cancelled meanwhile.
void checkOnce() {
    VXM_TIMER_INFO first;
    {
        ListLock lock;
        if (g_service.count == 0) return;
        first = g_service.pending[0];
    }
    const VXM_UINT32 now = VXM_get_ticks();
    if (!(static_cast<VXM_UINT32>(now - first.start) > first.ulDelay)) return;
    first.pCallback(first.id, first.iArg);
    ListLock lock;
    VXM_TIMER_INFO current;
    if (removeTimer(first.id, &current) && current.ulInterval != 0) {
        current.start = now;
        current.ulDelay = current.ulInterval;
        current.runCount += 1;
        insertTimer(current);
    }
}

void* timerThread(void*) {
    VXM_thread_setname("timer_threadfunc");
    g_timerThreadId.store(pthread_self(), std::memory_order_release);
    while (g_running.load(std::memory_order_acquire) != 0) {
        VXM_delay(kCheckPeriodMs);
        checkOnce();
    }
    return nullptr;
}

}  // namespace

extern "C" {

int VXM_timer_init(void) {
    if (g_initialised.load(std::memory_order_acquire) != 0) {
        VXM_LOG(VXM_LOG_INFO, kModuleTag, " already inited..");
        return 0;
    }
    if (g_pTimerThread.load() != 0) return -1;
    if (g_listMutex.load() == 0) {
        unsigned long mutex = VXM_mutex_create();
        if (mutex == 0) return -1;
        g_listMutex.store(mutex, std::memory_order_release);
    }
    {
        // The table must be free before the first add can find the thread running.
        ListLock lock;
        freeAllIds();
    }
    g_running.store(1, std::memory_order_release);
    unsigned long thread = 0;
    if (VXM_thread_createJoinable(timerThread, nullptr, &thread, 0, kTimerThreadStack) != 0 ||
        thread == 0) {
        g_running.store(0);
        return -1;
    }
    g_pTimerThread.store(thread, std::memory_order_release);
    VXM_start_ticks();
    g_initialised.store(1, std::memory_order_release);
    return 0;
}

void VXM_timer_quit(void) {
    unsigned long thread = g_pTimerThread.load(std::memory_order_acquire);
    if (thread != 0 && pthread_equal(g_timerThreadId.load(std::memory_order_acquire), pthread_self())) {
        // Joining its own thread would never return, and the list would vanish under the caller.
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_timer_quit called from a timer callback");
        return;
    }
    if (thread != 0) {
        g_running.store(0, std::memory_order_release);
        VXM_thread_join(thread);
        g_pTimerThread.store(0, std::memory_order_release);
        g_timerThreadId.store(pthread_t{}, std::memory_order_release);
    }
    unsigned long mutex = g_listMutex.exchange(0);
    if (mutex != 0) VXM_mutex_destroy(mutex);
    g_service = Service{{}, 0, {}, kOneShotBase};
    freeAllIds();
    g_initialised.store(0, std::memory_order_release);
}

int VXM_timer_add(VXM_TIMER_CALLBACK pCallback, int iArg, VXM_UINT32 ulDelay, VXM_UINT32 ulInterval) {
    VXM_LOG(VXM_LOG_INFO, kModuleTag,
            "VXM_timer_add:pCallback = %p, iArg = %d, ulDelay = %u, ulInterval = %u",
            reinterpret_cast<void*>(pCallback), iArg, ulDelay, ulInterval);
    unsigned long thread = g_pTimerThread.load(std::memory_order_acquire);
    if (pCallback == nullptr || thread == 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_timer_add failed, pCallback = %p, g_pTimerThread = %p",
                reinterpret_cast<void*>(pCallback), reinterpret_cast<void*>(thread));
        return -1;
    }
    VXM_TIMER_INFO timer{};
    timer.pCallback = pCallback;
    timer.iArg = iArg;
    timer.ulDelay = ulDelay;
    timer.ulInterval = ulInterval;
    timer.start = VXM_get_ticks();
    ListLock lock;
    return ulInterval != 0 ? addPeriodic(timer) : addOneShot(timer);
}

int VXM_timer_cancel(int id) {
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "VXM_timer_cancel = %d", id);
    ListLock lock;
    VXM_TIMER_INFO removed;
    if (removeTimer(id, &removed) && id < kIdSlots && removed.ulInterval != 0)
        g_service.ids[id] = kFreeId;
    return 0;
}

unsigned int VXM_timer_getRunCount(int id) {
    if (id < 0) return 0;
    ListLock lock;
    for (int i = 0; i < g_service.count; ++i)
        if (g_service.pending[i].id == id) return g_service.pending[i].runCount;
    return 0;
}

int VXM_timer_get(int* count, VXM_TIMER_INFO* records) {
    if (count == nullptr || records == nullptr) return -1;
    ListLock lock;
    *count = g_service.count;
    for (int i = 0; i < g_service.count; ++i) records[i] = g_service.pending[i];
    return 0;
}

}  // extern "C"
