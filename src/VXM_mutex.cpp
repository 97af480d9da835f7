// Recursive mutexes behind handles that are the addresses of heap-allocated system mutexes.
#include "vxmosal/VXM_mutex.h"

#include "internal/sync.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_registry.h"
#include "vxmosal/VXM_time.h"

namespace {

constexpr auto toMutex = vxm::internal::mutexOf;

}  // namespace

extern "C" {

unsigned long VXM_mutex_createWithoutMutexMgr(void) {
    auto* mutex = static_cast<pthread_mutex_t*>(VXM_malloc(sizeof(pthread_mutex_t)));
    if (mutex == nullptr) return 0;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        VXM_free(mutex);
        return 0;
    }
    bool made = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (!made) {
        VXM_free(mutex);
        return 0;
    }
    return reinterpret_cast<unsigned long>(mutex);
}

unsigned long VXM_mutex_create(void) {
    unsigned long mutex = VXM_mutex_createWithoutMutexMgr();
    VXM_AddMutexInfo(mutex, VXM_get_ticks());
    return mutex;
}

int VXM_mutex_destroy(unsigned long mutex) {
    if (mutex == 0) return -1;
    VXM_DeleteMutexInfo(mutex);
    int result = pthread_mutex_destroy(toMutex(mutex));
    VXM_free(toMutex(mutex));
    return result;
}

int VXM_mutex_lock(unsigned long mutex) {
    if (mutex == 0) return -1;
    return pthread_mutex_lock(toMutex(mutex)) == 0 ? 0 : -1;
}

int VXM_mutex_unlock(unsigned long mutex) {
    if (mutex == 0) return -1;
    return pthread_mutex_unlock(toMutex(mutex)) == 0 ? 0 : -1;
}

}  // extern "C"
