/** @defgroup timer Timer service (VXM_os_timer.h)
 *
 * The timer service: one library thread ("timer_threadfunc") runs callers' one-shot and periodic
 * timers. Pending timers (at most 100) are kept sorted by expiry (start + ulDelay); a new timer goes
 * before those that expire at the same moment. The thread checks every 20 ms and runs at most one due
 * timer per check, on its own thread, holding no library lock, so callbacks may add and cancel timers,
 * themselves included. A timer is due once strictly more than ulDelay milliseconds have passed since
 * its start. A periodic timer's next period starts at the check that ran it (no catch-up).
 *
 * Identifiers: periodic timers take the lowest free of 1..99 (freed again only by cancelling);
 * one-shot timers take 102, 103, ... 65535, then 102 again (reset by VXM_timer_quit).
 * Messages (tag "os_time"): level 2 " already inited..", "VXM_timer_add:pCallback = %p, iArg = %d,
 * ulDelay = %u, ulInterval = %u", "VXM_timer_cancel = %d"; level 4 "VXM_timer_add failed,
 * pCallback = %p, g_pTimerThread = %p".
 * @{
 */
#ifndef VXMOSAL_VXM_OS_TIMER_H
#define VXMOSAL_VXM_OS_TIMER_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** A timer's callback, run on the timer thread with the timer's identifier and its iArg. */
typedef void (*VXM_TIMER_CALLBACK)(int id, int iArg);

/** A pending timer as VXM_timer_get copies it out. */
typedef struct {
    int id;                        /**< as VXM_timer_add returned it */
    VXM_TIMER_CALLBACK pCallback;  /**< as given to VXM_timer_add */
    int iArg;                      /**< as given to VXM_timer_add */
    VXM_UINT32 ulDelay;    /**< milliseconds from start until due */
    VXM_UINT32 ulInterval; /**< period in milliseconds; 0 = one-shot */
    VXM_UINT32 start;      /**< VXM_get_ticks() when armed or last re-armed */
    VXM_UINT32 runCount;   /**< completed runs of a periodic timer */
} VXM_TIMER_INFO;

/** The most timers pending at once. */
#define VXM_TIMER_MAX_PENDING 100

/** Starts the timer thread. @retval 0 (also when already initialised)  @retval -1 on failure */
VXM_API int VXM_timer_init(void);

/** Stops and joins the timer thread (waiting for a callback in progress), discards every pending
 * timer and resets the identifiers. Must not be called from a timer callback. */
VXM_API void VXM_timer_quit(void);

/** @return the new identifier (1..99 periodic, 102..65535 one-shot), or -1 for a null callback, a
 *         service not initialised, 99 periodic timers pending, or 100 timers pending */
VXM_API int VXM_timer_add(VXM_TIMER_CALLBACK pCallback, int iArg, VXM_UINT32 ulDelay,
                          VXM_UINT32 ulInterval);

/** Removes the pending timer with that identifier, if any. @retval 0 always */
VXM_API int VXM_timer_cancel(int id);

/** @return the completed runs of the pending timer, or 0 when no pending timer has that id */
VXM_API unsigned int VXM_timer_getRunCount(int id);

/** Copies every pending timer, in expiry order, into records (room for VXM_TIMER_MAX_PENDING).
 * @retval 0 success  @retval -1 for null arguments */
VXM_API int VXM_timer_get(int* count, VXM_TIMER_INFO* records);

/** @} */

VXM_END_DECLS

#endif
