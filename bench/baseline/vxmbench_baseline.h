/* Baselines for functions of a shared library: the same kind of call, made through the PLT into a
 * shared library of its own, with no work of the library's behind it. */
#ifndef VXMOSAL_BENCH_BASELINE_H
#define VXMOSAL_BENCH_BASELINE_H

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VXMBENCH_API __attribute__((visibility("default")))

/* Does nothing: the cost of an exported call and its return. */
VXMBENCH_API void vxmbench_empty(void);

/* The smallest wrapper of a pthread mutex: the null test, the call, the result mapped to 0 or -1.
 * @retval 0  @retval -1 for null or failure */
VXMBENCH_API int vxmbench_mutex_lock(pthread_mutex_t* mutex);
VXMBENCH_API int vxmbench_mutex_unlock(pthread_mutex_t* mutex);

#ifdef __cplusplus
}
#endif

#endif
