/** @defgroup process Processes (VXM_process.h)
 *
 * Process lookup and control: finding a live process by its command name in /proc, reading a
 * process's first command-line argument, killing every process whose command matches a pattern in
 * the platform's ps listing, and the platform's major release from "ro.build.version.release".
 * Messages go to g_VXMLogCallback under the tag "os_utility" (level 2 information, level 4 error).
 * Nothing here keeps state; the process table may change while it is read (a process that ends
 * meanwhile is skipped).
 * @{
 */
#ifndef VXMOSAL_VXM_PROCESS_H
#define VXMOSAL_VXM_PROCESS_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** Walks /proc in its listing order and scans each `"/proc/<id>/stat"` (at most 2047 bytes; one of
 * fewer than 80 bytes is skipped) with "%d (%15[^)]) %c". Logs "VXM_get_exec_pid [%s]" with name
 * (level 2) first, and "VXM_get_exec_pid [%s][%s][%d]" (the entry's name, name, id; level 2) when
 * found. Only 15 characters of a command name are kept, so a longer name never matches.
 * @return the id of the first process whose command name equals name exactly and that is not a
 *         zombie ("Z")
 * @retval -1 when none does, /proc cannot be opened, or name is null */
VXM_API int VXM_get_exec_pid(const char* name);

/** Reads `"/proc/<pid>/cmdline"` once, up to bufLen bytes, and sets the last byte read to 0, so that
 * buffer starts with the first argument (cut to bufLen - 1 characters when longer). An empty command
 * line (a kernel thread, a zombie) leaves buffer unchanged.
 * @retval 0
 * @retval -1 for a null buffer, pid of 0 or less, or bufLen 0
 *         ("input param error: pid(%d), buffer(%p), buf_len(%u)", level 4), or a command-line file
 *         that cannot be opened ("fopen file(%s) error" with its path, level 4) */
VXM_API int VXM_os_get_process_name(int pid, char* buffer, unsigned int bufLen);

/** Runs the listing `` "ps | awk '$5~/<pattern>/ && $4 != "Z"  {print $1}'" `` through VXM_popen
 * (permitting "|$&"), reads at most 511 bytes of it, and for each of at most 20 listed ids runs
 * `"kill -9 <id>"` with VXM_HAL_system. The pattern is an extended regular expression over the
 * listing's command column and goes into the command unchanged.
 * @retval 0 when done, when the listing prints only empty lines, or for a null pattern
 *         (nothing run)
 * @retval -1 when the listing cannot be started (a pattern holding ';', '>' or '<' is refused by
 *         VXM_popen) or prints nothing, or when a listed id holds a character VXM_check_inject_str
 *         refuses ("System Command para error", level 4; the ids before it stay killed) */
VXM_API int VXM_utl_killProcess(const char* pattern);

/** The platform's release class from the property "ro.build.version.release": the first of the
 * substrings "4.4", "5.1", "7.0", "8.0" that the value holds.
 * @retval 4, 5, 7 or 8
 * @retval 0 for any other value, and when the property is unset or empty */
VXM_API int VXM_utl_get_os_type(void);

/** @} */

VXM_END_DECLS

#endif
