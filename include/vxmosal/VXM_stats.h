/** @defgroup stats Statistics (VXM_stats.h)
 *
 * System statistics from the kernel's counters: processor usage from /proc/stat, memory usage and
 * free memory from /proc/meminfo, and the byte and packet totals of the interface that holds an IPv4
 * address from /proc/net/dev. Figures are whole numbers computed with truncating unsigned arithmetic.
 *
 * Processor usage is measured over intervals of at least 1000 kernel clock ticks (summed over all
 * processors): the first call only takes a base sample and returns 0; a later call that completes an
 * interval returns its fresh figure and starts the next one; a call before that repeats the figure of
 * the last completed interval (0 while there is none). The state is process-wide and unlocked.
 * Messages (tag "os_utility", level 2): "get cpu time fail.", "iBit:[%d]".
 * @{
 */
#ifndef VXMOSAL_VXM_STATS_H
#define VXMOSAL_VXM_STATS_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** Processor usage in whole percent (0..100), as described above. 0 when /proc/stat cannot be read
 * (logged "get cpu time fail."). */
VXM_API unsigned int VXM_get_cpuUsage(void);

/** The usage of the last completed interval times 10^decimals (2 decimals and 37.456 % give 3745).
 * Reads no sample of its own. 0, logged "iBit:[%d]", when decimals exceed 4 or no interval has been
 * completed yet. */
VXM_API unsigned int VXM_get_cpuUsageExtend(unsigned int decimals);

/** Memory in use in whole percent: (MemTotal - MemFree - Buffers - Cached) over MemTotal, both first
 * cut to whole megabytes. 0 when /proc/meminfo cannot be read or holds no MemTotal. */
VXM_API unsigned int VXM_get_memUsage(void);

/** MemFree in bytes, computed in 32 bits (so 4 GiB or more is reported modulo 4 GiB); 0 when
 * /proc/meminfo cannot be read. */
VXM_API unsigned int VXM_get_freeMemorySize(void);

/** The cumulative counters of the interface that holds the IPv4 address ip and is up and running.
 * @retval 0 with the four counters stored
 * @retval -1 for null arguments; for an empty or invalid address, an address no running interface
 *         holds, or a failed interface query (each written to standard error as
 *         "VXM_get_netCardNameByIP failed ip[%s]." and a newline); when /proc/net/dev cannot be read
 *         or has no line for the interface; or when that line does not hold 16 numbers (logged at
 *         level 4, "os_utility": "get netcard netflow info failed."; the outputs may be partly
 *         written) */
VXM_API int VXM_get_netStat(const char* ip, unsigned long long* txBytes, unsigned long long* rxBytes,
                            unsigned long long* txPackets, unsigned long long* rxPackets);

/** @} */

VXM_END_DECLS

#endif
