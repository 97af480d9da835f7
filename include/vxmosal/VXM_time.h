/** @defgroup time Ticks and clock (VXM_time.h)
 *
 * Ticks, sleeps and the clock. Ticks are milliseconds since the library's first tick read, refreshed
 * every 3 ms by the library's own "refresh_timer" thread, which the first read in the process starts.
 * Reading them is one flag test and one atomic load: no system call, no lock. They advance in steps
 * of about 3 ms and the 32-bit forms wrap after 2^32 ms (about 49.7 days). Every read returns 0 while
 * the tick thread cannot be started, and the next read tries again.
 * @{
 */
#ifndef VXMOSAL_VXM_TIME_H
#define VXMOSAL_VXM_TIME_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

struct timezone;

/** Broken-down UTC time filled by VXM_get_time. */
typedef struct {
    VXM_INT32 second; /**< 0..60 */
    VXM_INT32 minute; /**< 0..59 */
    VXM_INT32 hour;   /**< 0..23 */
    VXM_INT32 day;    /**< 1..31 */
    VXM_INT32 month;  /**< 1..12 */
    VXM_INT32 year;   /**< full year, for example 2026 */
} VXM_TIME_INFO;

/** Starts the tick thread unless it runs. @retval 0 when it runs  @retval -1 when creation failed */
VXM_API int VXM_startTimerThread(void);

/** The tick thread's entry routine; never returns. Only VXM_startTimerThread runs it. */
VXM_API void* VXM_refreshTimerStart(void* arg);

VXM_API VXM_UINT32 VXM_get_ticks(void);          /**< 32-bit ticks */
VXM_API VXM_INT64 VXM_get_ticks_int64(void);     /**< 64-bit elapsed ticks */
VXM_API VXM_UINT32 VXM_get_ticks_precious(void); /**< the same value as VXM_get_ticks */
/** Monotonic clock milliseconds (from the clock's own origin) as of the latest refresh. */
VXM_API VXM_INT64 VXM_get_ticks_immediately(void);
/** Real-time clock milliseconds since the epoch, read at the call; no tick thread involved. */
VXM_API VXM_INT64 VXM_get_real_ticks_immediately(void);

/** Remembers the wall-clock time of its first call; later calls do nothing. */
VXM_API void VXM_start_ticks(void);

/** Sleep ms milliseconds (microseconds computed in 32 bits: ms above 4294967 are out of contract).
 * @return the sleep call's result: 0, or -1 when interrupted. VXM_sleep is the same call. */
/** @{ */
VXM_API int VXM_delay(VXM_UINT32 ms);
VXM_API int VXM_sleep(VXM_UINT32 ms);
/** @} */

/** Fills *info with the current UTC time.
 * @retval 0 success  @retval -1 for null (logged at level 4, "os_utility": "param error!") or when the
 *         breakdown fails */
VXM_API int VXM_get_time(VXM_TIME_INFO* info);

/** The current UTC broken-down time converted back with the local-time conversion (mktime): the
 * current time when the local zone is UTC, shifted by the zone's offset otherwise. -1 on failure. */
VXM_API VXM_INT64 VXM_getUTCTimeStamp(void);

/** Sets the kernel time-zone record (keeping the time of day). Needs the right to set the clock.
 * @retval 0 success  @retval -1 for null or when the system refuses */
VXM_API int VXM_timezone_set(const struct timezone* tz);

/** Fills *tz with the kernel time-zone record. @retval 0 success  @retval -1 for null or on failure */
VXM_API int VXM_timezone_get(struct timezone* tz);

/** @} */

VXM_END_DECLS

#endif
