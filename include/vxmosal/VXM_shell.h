/** @defgroup shell Guarded shell (VXM_shell.h)
 *
 * Shell commands run in the caller's own process, refused when they hold shell metacharacters that
 * could chain, substitute or redirect further commands. Each entry point scans its own fixed set, in
 * the order given, and names the first member found:
 *
 * @verbatim
   VXM_check_inject_str  "|;&$<>`"  (no exemptions)
   VXM_system            "|;&$<"    (greater-than and backquote pass)
   VXM_popen             "|;&$><"   (the caller may exempt members; backquote passes)
   @endverbatim
 *
 * Any other character (spaces, quotes, '?', '*', newlines) is never refused. VXM_HAL_system is the
 * unguarded call for commands built entirely from trusted text. Messages go to g_VXMLogCallback under
 * the tag "os_utility" (level 4 error, level 3 warning). Nothing here keeps state.
 * @{
 */
#ifndef VXMOSAL_VXM_SHELL_H
#define VXMOSAL_VXM_SHELL_H

#include <stdio.h>

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** Scans command for `` "|;&$<>`" ``.
 * @retval 0 when it holds none of them
 * @retval -1 for a null command ("System Command is NULL") or one that holds a member
 *         ("System Command Contain %c", the first member in scan order) */
VXM_API int VXM_check_inject_str(const char* command);

/** Runs command with system() after refusing `"|;&$<"` in it.
 * @return the raw status of system() (the shell's wait status, or -1)
 * @retval -1 for a null command ("System Command is NULL") or a refused one
 *         ("System Command Contain %c"); the command is then not run */
VXM_API int VXM_system(const char* command);

/** system(command), unscanned.
 * @return the raw status of system()  @retval -1 for a null command ("VXM_HAL_system Command is NULL") */
VXM_API int VXM_HAL_system(const char* command);

/** popen(command, mode) after refusing `"|;&$><"`, except the members named in permitted (null: none
 * permitted; characters outside the set have no effect). mode is handed to popen unchanged.
 * @return the stream, which the caller closes with pclose; null for a null command
 *         ("popen Command is NULL"), a refused one ("popen Command %s Contain %c", command and
 *         character; nothing is run) or a failing popen (no message) */
VXM_API FILE* VXM_popen(const char* command, const char* permitted, const char* mode);

/** Closes every descriptor of the process listed in `/proc/<pid>/fd` except 0, 1, 2 (and the listing's
 * own, closed with the listing). Acts on the whole process, other threads' descriptors included.
 * Logs "can't open %s" (level 3) when the directory cannot be opened and "close ret %d, errno=%d"
 * (level 3) for each descriptor that fails to close. */
VXM_API void VXM_close_allfd(void);

/** @} */

VXM_END_DECLS

#endif
