#include "vxmbench_baseline.h"

#include <stddef.h>

void vxmbench_empty(void) {}

int vxmbench_mutex_lock(pthread_mutex_t* mutex) {
    if (mutex == NULL) return -1;
    return pthread_mutex_lock(mutex) == 0 ? 0 : -1;
}

int vxmbench_mutex_unlock(pthread_mutex_t* mutex) {
    if (mutex == NULL) return -1;
    return pthread_mutex_unlock(mutex) == 0 ? 0 : -1;
}
