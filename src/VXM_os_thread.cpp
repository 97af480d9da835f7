// Threads: the three creation operations, join and kill, and the identity and naming calls.
#include "vxmosal/VXM_os_thread.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "internal/log.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_registry.h"
#include "vxmosal/VXM_time.h"

namespace {

constexpr char kModuleTag[] = "os_thread";

// The handle record. Only thread is part of the handle's meaning; detached lets join and kill
// avoid waiting on a thread the system no longer lets anyone join.
struct ThreadRecord {
    pthread_t thread;
    int detached;
};

enum class CreateKind { Registered, RegisteredEx, Joinable };

// Message counters, one per creation operation; they advance only when their message is emitted.
std::atomic<int> g_createIndex{0};
std::atomic<int> g_createExIndex{0};
std::atomic<int> g_createJoinableIndex{0};

std::atomic<int>& counterOf(CreateKind kind) noexcept {
    switch (kind) {
        case CreateKind::Registered: return g_createIndex;
        case CreateKind::RegisteredEx: return g_createExIndex;
        default: return g_createJoinableIndex;
    }
}

int registryKey(pthread_t thread) noexcept { return static_cast<int>(thread); }

int createThread(CreateKind kind, VXM_THREAD_ENTRY entry, void* arg, unsigned long* handle,
                 unsigned int stackSize, bool detached) noexcept {
    VXM_UINT32 start = VXM_get_ticks();
    if (entry == nullptr) return -1;
    auto* record = static_cast<ThreadRecord*>(VXM_malloc(sizeof(ThreadRecord)));
    if (record == nullptr) return -1;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        VXM_free(record);
        return -1;
    }
    // The scheduling attributes are requested as the interface states; whether they take effect
    // is the platform's matter (inheritance stays at its default).
    sched_param param{};
    param.sched_priority = 0;
    pthread_attr_setschedpolicy(&attr, SCHED_RR);
    pthread_attr_setschedparam(&attr, &param);
    pthread_attr_setdetachstate(&attr, detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    record->detached = detached ? 1 : 0;
    if (pthread_attr_setstacksize(&attr, stackSize != 0 ? stackSize : VXM_THREAD_DEFAULT_STACK) !=
        0) {
        pthread_attr_destroy(&attr);
        VXM_free(record);
        return -1;
    }
    int result = pthread_create(&record->thread, &attr, entry, arg);
    if (result != 0) {
        if (kind == CreateKind::RegisteredEx)
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "pthread_create failure:lResult=%d, errno=%d", result,
                    errno);
        else
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "pthread_create failure!");
        pthread_attr_destroy(&attr);
        VXM_free(record);
        return -1;
    }
    pthread_t thread = record->thread;
    if (kind != CreateKind::Joinable) VXM_AddThreadInfo(registryKey(thread), VXM_get_ticks());
    pthread_attr_destroy(&attr);
    if (__atomic_load_n(&g_VXMLogCallback, __ATOMIC_RELAXED) != nullptr) {
        int index = counterOf(kind).fetch_add(1, std::memory_order_relaxed);
        VXM_LOG(VXM_LOG_INFO, kModuleTag, "pthread_create iThreadIndex[%d] cost[%u] at[%u] tid[0x%08x]",
                index, VXM_get_ticks() - start, VXM_get_ticks(), static_cast<unsigned int>(thread));
    }
    if (handle == nullptr) {
        // Nobody can join it now: let the system reclaim it when it ends.
        if (!detached) pthread_detach(thread);
        VXM_free(record);
        return 0;
    }
    *handle = reinterpret_cast<unsigned long>(record);
    return 0;
}

}  // namespace

extern "C" {

int VXM_thread_gettid(void) { return static_cast<int>(syscall(SYS_gettid)); }

int VXM_thread_create(VXM_THREAD_ENTRY entry, void* arg, unsigned long* handle, int /*priority*/,
                      unsigned int stackSize) {
    return createThread(CreateKind::Registered, entry, arg, handle, stackSize, true);
}

int VXM_thread_createEX(VXM_THREAD_ENTRY entry, void* arg, unsigned long* handle, int /*priority*/,
                        unsigned int stackSize, int detached) {
    return createThread(CreateKind::RegisteredEx, entry, arg, handle, stackSize, detached != 0);
}

int VXM_thread_createJoinable(VXM_THREAD_ENTRY entry, void* arg, unsigned long* handle,
                              int /*priority*/, unsigned int stackSize) {
    return createThread(CreateKind::Joinable, entry, arg, handle, stackSize, false);
}

int VXM_thread_join(unsigned long handle) {
    if (handle == 0) return 0;
    auto* record = reinterpret_cast<ThreadRecord*>(handle);
    VXM_UINT32 start = VXM_get_ticks();
    // Joining a detached thread is undefined once it has ended; report what the system reports
    // for a thread that cannot be joined.
    int result = record->detached ? EINVAL : pthread_join(record->thread, nullptr);
    VXM_DeleteThreadInfo(registryKey(record->thread));
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "pthread_join ret[%d] errno[%d] cost[%u] at[%u] tid[0x%08x]",
            result, errno, VXM_get_ticks() - start, VXM_get_ticks(),
            static_cast<unsigned int>(record->thread));
    VXM_free(record);
    return 0;
}

void VXM_thread_kill(unsigned long handle) {
    if (handle == 0) return;
    auto* record = reinterpret_cast<ThreadRecord*>(handle);
    VXM_DeleteThreadInfo(registryKey(record->thread));
    if (!record->detached) pthread_join(record->thread, nullptr);
    VXM_free(record);
}

void VXM_thread_exit(void* value) {
    if (value != nullptr) pthread_exit(value);
}

unsigned long VXM_thread_self(void) { return static_cast<unsigned long>(pthread_self()); }

int VXM_thread_getpid(void) { return static_cast<int>(getpid()); }

void VXM_thread_setname(const char* name) {
    if (name != nullptr) prctl(PR_SET_NAME, name, 0, 0, 0);
}

}  // extern "C"
