/** @defgroup threads Threads (VXM_os_thread.h)
 *
 * Threads. Three creation operations differ only in the detach state, in whether the new thread is
 * recorded in the thread registry, and in their failure message. All use round-robin scheduling
 * attributes at priority 0 and a 128 KiB stack unless a size is given, and report the creation at
 * level 2 ("os_thread"):
 *   "pthread_create iThreadIndex[%d] cost[%u] at[%u] tid[0x%08x]"
 * where the index counts the messages each operation has emitted (it advances only while a sink is
 * installed). A thread handle is a heap record released by VXM_thread_join or VXM_thread_kill.
 * @{
 */
#ifndef VXMOSAL_VXM_OS_THREAD_H
#define VXMOSAL_VXM_OS_THREAD_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** A thread's entry routine; its result is the thread's exit value. */
typedef void* (*VXM_THREAD_ENTRY)(void* arg);

/** Default stack size when 0 is passed. */
#define VXM_THREAD_DEFAULT_STACK 131072u

/** Creates a detached thread running entry(arg), recorded in the thread registry. The priority is
 * accepted and plays no part. When handle is null the thread runs on but cannot be joined.
 * @retval 0 on success
 * @retval -1 when entry is null, allocation fails, the stack size is refused, or the system create
 *         fails (logged at level 4: "pthread_create failure!") */
VXM_API int VXM_thread_create(VXM_THREAD_ENTRY entry, void* arg, unsigned long* handle, int priority,
                              unsigned int stackSize);

/** As VXM_thread_create, but detached only when detached is non-zero. The failure of the system
 * create is logged as "pthread_create failure:lResult=%d, errno=%d". */
VXM_API int VXM_thread_createEX(VXM_THREAD_ENTRY entry, void* arg, unsigned long* handle,
                                int priority, unsigned int stackSize, int detached);

/** As VXM_thread_create, but joinable and not recorded in the thread registry. */
VXM_API int VXM_thread_createJoinable(VXM_THREAD_ENTRY entry, void* arg, unsigned long* handle,
                                      int priority, unsigned int stackSize);

/** Waits for the thread, removes it from the registry, logs at level 2
 *   "pthread_join ret[%d] errno[%d] cost[%u] at[%u] tid[0x%08x]"
 * and releases the handle. A failed join (a detached thread, for one) shows only in ret.
 * @retval 0 always (also for a 0 handle, which returns at once) */
VXM_API int VXM_thread_join(unsigned long handle);

/** Removes the thread from the registry, waits for it to end (no signal is sent), releases the
 * handle. A 0 handle does nothing. */
VXM_API void VXM_thread_kill(unsigned long handle);

/** Ends the calling thread with value; a null value returns at once and the thread goes on. */
VXM_API void VXM_thread_exit(void* value);

/** The calling thread's system thread identifier. */
VXM_API unsigned long VXM_thread_self(void);

/** The process identifier. */
VXM_API int VXM_thread_getpid(void);

/** Names the calling thread (the kernel keeps 15 characters); null does nothing. */
VXM_API void VXM_thread_setname(const char* name);

/* VXM_thread_gettid() is declared in VXM_log.h: every log record carries it. */

/** @} */

VXM_END_DECLS

#endif
