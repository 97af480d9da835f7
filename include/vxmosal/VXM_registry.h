/** @defgroup registry Registry of live mutexes and threads (VXM_registry.h)
 *
 * The registry of live mutexes and threads. Every mutex made by VXM_mutex_create and every thread
 * made by VXM_thread_create or VXM_thread_createEX is recorded with the tick count at which it was
 * made, and forgotten when destroyed or joined. Each registry holds at most 200 records (further adds
 * are dropped silently); a key already present keeps its first time. A dump writes the live records,
 * in ascending key order, to `"<dir>/mutexInfo.txt"` or `"<dir>/threadsInfo.txt"` (mode 0600, replaced on
 * each dump), one line each:
 *   [0]: [pMutex is [b6e01040],create Mutex time is[5230]]
 *   [0]: [pThread is [0xb6e01040],create thread time is[5230]]
 * The directory is used unchanged ("/data/" yields "/data//mutexInfo.txt").
 * @{
 */
#ifndef VXMOSAL_VXM_REGISTRY_H
#define VXMOSAL_VXM_REGISTRY_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** Records a mutex. A 0 handle logs "Mutex is NULL" (level 4, "StatInfoMgr") and records nothing. */
VXM_API void VXM_AddMutexInfo(unsigned long mutex, unsigned int createTime);

/** Records a thread identifier; no check of the identifier (0 is a valid key). */
VXM_API void VXM_AddThreadInfo(int thread, unsigned int createTime);

/** Forget a record; an unknown key is ignored. */
/** @{ */
VXM_API void VXM_DeleteMutexInfo(unsigned long mutex);
VXM_API void VXM_DeleteThreadInfo(int thread);
/** @} */

/** Write the dump files. A null directory logs "write path is NULL", a file that cannot be opened
 * "open file failed" (level 4, "StatInfoMgr"); the registry is unchanged either way. */
/** @{ */
VXM_API void VXM_Mutex_dump(const char* dir);
VXM_API void VXM_Thread_dump(const char* dir);
/** @} */

/** @} */

VXM_END_DECLS

#endif
