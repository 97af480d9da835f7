/** @defgroup mutex Mutexes and semaphores (VXM_mutex.h)
 *
 * Recursive mutexes and counting semaphores behind opaque handles.
 *
 * A mutex handle is the address of a heap-allocated recursive system mutex; 0 means none. Mutexes
 * made by VXM_mutex_create are recorded in the live-mutex registry (VXM_registry.h) with their
 * creation tick, so leaks can be dumped. A semaphore handle is the address of a heap-allocated,
 * process-private counting semaphore. The library adds no locking around a handle; destroying a
 * locked mutex or a semaphore with waiters is not guarded. None of these functions logs, except the
 * registry's "Mutex is NULL" when VXM_mutex_create could not make a mutex.
 * @{
 */
#ifndef VXMOSAL_VXM_MUTEX_H
#define VXMOSAL_VXM_MUTEX_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** Makes a recursive mutex that is not recorded in the registry.
 * @return the handle, or 0 when allocation or initialisation fails (nothing is kept). */
VXM_API unsigned long VXM_mutex_createWithoutMutexMgr(void);

/** Makes a recursive mutex and records it in the registry with VXM_get_ticks().
 * @return the handle, or 0 on failure (the registry then logs "Mutex is NULL" at level 4). */
VXM_API unsigned long VXM_mutex_create(void);

/** Removes the mutex from the registry, destroys and releases it.
 * @retval -1 for a 0 handle
 * @return otherwise the system destroy call's result (0, or the system's error number) */
VXM_API int VXM_mutex_destroy(unsigned long mutex);

/** Locks, blocking; the owner may lock again and must unlock as often.
 * @retval 0 on success  @retval -1 for a 0 handle or when the system call fails */
VXM_API int VXM_mutex_lock(unsigned long mutex);

/** @retval 0 on success  @retval -1 for a 0 handle or when the system call fails */
VXM_API int VXM_mutex_unlock(unsigned long mutex);

/** Makes a process-private semaphore with the initial count and stores its handle in *sem.
 * @retval 0 on success  @retval -1 when sem is null or the semaphore cannot be made */
VXM_API int VXM_sem_create(unsigned int initialCount, unsigned long* sem);

/** @retval 0 (the handle is released)  @retval -1 for a 0 handle */
VXM_API int VXM_sem_destroy(unsigned long sem);

/** @retval 0 on success  @retval -1 for a 0 handle or on failure */
VXM_API int VXM_sem_post(unsigned long sem);

/** Blocks until the count can be decremented.
 * @retval 0 on success  @retval -1 for a 0 handle or on failure, an interrupted wait included */
VXM_API int VXM_sem_wait(unsigned long sem);

/** @retval 0 when decremented  @retval -201 when it would block (or fails)  @retval -1 for 0 */
VXM_API int VXM_sem_trywait(unsigned long sem);

/** Waits up to timeoutMs milliseconds by polling: a try, a 10 ms sleep, a second try, then the
 * deadline test; the deadline is fixed after the first sleep, so the wait lasts about timeoutMs + 10.
 * A time-out of 0 waits without limit, as VXM_sem_wait.
 * @retval 0 when taken  @retval -201 when the time-out passed  @retval -200 for a 0 handle */
VXM_API int VXM_sem_wait_timeout(unsigned long sem, unsigned int timeoutMs);

/** @} */

VXM_END_DECLS

#endif
