// Counting semaphores behind handles that are the addresses of heap-allocated, process-private
// system semaphores. The wait with a time-out polls instead of using a timed system wait.
#include "internal/sync.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_mutex.h"
#include "vxmosal/VXM_time.h"

namespace {

constexpr auto toSem = vxm::internal::semOf;

constexpr VXM_UINT32 kPollSleepMs = 10;

}  // namespace

extern "C" {

int VXM_sem_create(unsigned int initialCount, unsigned long* sem) {
    if (sem == nullptr) return -1;
    auto* object = static_cast<sem_t*>(VXM_malloc(sizeof(sem_t)));
    if (object == nullptr) return -1;
    if (sem_init(object, 0, initialCount) != 0) {
        VXM_free(object);
        return -1;
    }
    *sem = reinterpret_cast<unsigned long>(object);
    return 0;
}

int VXM_sem_destroy(unsigned long sem) {
    if (sem == 0) return -1;
    sem_destroy(toSem(sem));
    VXM_free(toSem(sem));
    return 0;
}

int VXM_sem_post(unsigned long sem) {
    if (sem == 0) return -1;
    return sem_post(toSem(sem)) == 0 ? 0 : -1;
}

int VXM_sem_wait(unsigned long sem) {
    if (sem == 0) return -1;
    return sem_wait(toSem(sem)) == 0 ? 0 : -1;
}

int VXM_sem_trywait(unsigned long sem) {
    if (sem == 0) return -1;
    return sem_trywait(toSem(sem)) == 0 ? 0 : VXM_ERR_SEM_TIMEOUT;
}

int VXM_sem_wait_timeout(unsigned long sem, unsigned int timeoutMs) {
    if (sem == 0) return VXM_ERR_NULL_HANDLE;
    if (timeoutMs == 0) return VXM_sem_wait(sem);
    // The deadline is fixed only after the first sleep; 0 means not yet fixed.
    VXM_UINT32 deadline = 0;
    for (;;) {
        if (sem_trywait(toSem(sem)) == 0) return 0;
        VXM_delay(kPollSleepMs);
        if (sem_trywait(toSem(sem)) == 0) return 0;
        VXM_UINT32 now = VXM_get_ticks();
        if (deadline == 0) deadline = now + timeoutMs;
        if (!(deadline > now)) return VXM_ERR_SEM_TIMEOUT;
    }
}

}  // extern "C"
