/** @defgroup msg Events and message queues (VXM_os_msg.h)
 *
 * Events and message queues: two ways for threads to hand each other work.
 *
 * An event is a bare condition variable with its mutex, in storage the caller owns. One thread waits
 * (with or without a time-out) and another signals it; a signal sent while nobody waits is lost, and
 * any wake-up, spurious ones included, ends a wait with 0.
 *
 * A message queue is a ring of fixed-size messages copied in and out by value, holding at most its
 * capacity. A semaphore that starts at 1 and is posted once per post call (stored or not) wakes the
 * receiver; it is a hint, not a count, so a receive may return -1 at once on an empty ring and the
 * receiver simply calls again. With VXM_MSG_DROP_OLDEST a post to a full ring discards the oldest
 * message instead of refusing the new one. The queue's mutex, which only the queue's own calls take,
 * shows in the mutex dump. A queue may be destroyed while a receiver is blocked in
 * VXM_msg_peek: the receiver is woken, returns -1, and has left the queue before its memory is
 * released; a receive on a queue already destroyed returns -1 without touching released memory.
 * @{
 */
#ifndef VXMOSAL_VXM_OS_MSG_H
#define VXMOSAL_VXM_OS_MSG_H

#include <pthread.h>

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** An event: a condition variable and its mutex in the caller's storage, set up by VXM_event_create. */
typedef struct {
    pthread_mutex_t lock;      /**< default attributes */
    pthread_cond_t condition;  /**< default attributes: waits against the real-time clock */
} VXM_EVENT;

/** Opaque message queue handle; 0 means none. */
typedef unsigned long VXM_MSG_QUEUE;

/** Flag bit 0 of VXM_msg_create: a post to a full ring drops the oldest message. */
#define VXM_MSG_DROP_OLDEST 0x1u

/** @retval 0 success  @retval -1 for null or when the lock or condition cannot be initialised */
VXM_API int VXM_event_create(VXM_EVENT* event);

/** Waits for a signal, at most timeoutMs milliseconds (0: without limit). The deadline is taken from
 * the time of day before the lock.
 * @retval 0 when woken  @retval -202 when the time-out passed  @retval -1 for null or other failure */
VXM_API int VXM_event_wait(VXM_EVENT* event, int timeoutMs);

/** Wakes at most one waiter, without taking the lock. @retval 0 success  @retval -1 for null or failure */
VXM_API int VXM_event_set(VXM_EVENT* event);

/** @retval 0 success  @retval -200 for null */
VXM_API int VXM_event_destroy(VXM_EVENT* event);

/** Makes a queue of capacity messages of size bytes.
 * @return the handle; 0 when capacity or size is 0 or anything cannot be made (nothing is kept). */
VXM_API VXM_MSG_QUEUE VXM_msg_create(unsigned int capacity, unsigned int size, unsigned int flags);

/** Copies size bytes from msg into the ring. Never blocks except on the queue's mutex.
 * @retval 0 when stored (with VXM_MSG_DROP_OLDEST possibly after dropping the oldest)
 * @retval -1 for null arguments, a lock failure, or a full ring without VXM_MSG_DROP_OLDEST */
VXM_API int VXM_msg_post(VXM_MSG_QUEUE queue, const void* msg);

/** Waits for the queue's semaphore, then moves the oldest message into dest (size bytes).
 * @retval 0 when a message was copied out and removed
 * @retval -1 for null arguments, an empty ring, a failure, or a queue destroyed meanwhile */
VXM_API int VXM_msg_peek(VXM_MSG_QUEUE queue, void* dest);

/** Stores 1 in *empty when the ring holds nothing, else 0.
 * @retval 0 success  @retval -1 for null arguments or a lock failure */
VXM_API int VXM_msg_empty(VXM_MSG_QUEUE queue, int* empty);

/** Releases the queue; queued messages are discarded, with a level-3 message ("MSG")
 * "Messge list is not emply but is destroy  ".
 * @retval 0 success  @retval -1 for 0 or a queue destroyed already */
VXM_API int VXM_msg_destroy(VXM_MSG_QUEUE queue);

/** @} */

VXM_END_DECLS

#endif
