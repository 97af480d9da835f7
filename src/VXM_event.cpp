// Events: a condition variable and its mutex in the caller's storage.
#include "VXM_event.h"

#include <errno.h>

#include "vxmosal/VXM_os_msg.h"

extern "C" {

int VXM_event_create(VXM_EVENT* event) {
    if (event == nullptr) return -1;
    if (pthread_mutex_init(&event->lock, nullptr) != 0) return -1;
    if (pthread_cond_init(&event->condition, nullptr) != 0) {
        pthread_mutex_destroy(&event->lock);
        return -1;
    }
    return 0;
}

int VXM_event_wait(VXM_EVENT* event, int timeoutMs) {
    if (event == nullptr) return -1;
    timeval now{};
    gettimeofday(&now, nullptr);
    timespec deadline = vxm::eventDeadline(now, timeoutMs);
    if (pthread_mutex_lock(&event->lock) != 0) return -1;
    int result = timeoutMs != 0 ? pthread_cond_timedwait(&event->condition, &event->lock, &deadline)
                                : pthread_cond_wait(&event->condition, &event->lock);
    pthread_mutex_unlock(&event->lock);
    if (result == 0) return 0;
    return result == ETIMEDOUT ? VXM_ERR_EVENT_TIMEOUT : -1;
}

int VXM_event_set(VXM_EVENT* event) {
    if (event == nullptr) return -1;
    return pthread_cond_signal(&event->condition) == 0 ? 0 : -1;
}

int VXM_event_destroy(VXM_EVENT* event) {
    if (event == nullptr) return VXM_ERR_NULL_HANDLE;
    pthread_cond_destroy(&event->condition);
    pthread_mutex_destroy(&event->lock);
    return 0;
}

}  // extern "C"
