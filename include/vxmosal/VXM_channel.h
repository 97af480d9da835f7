/** @defgroup channel Privileged command channel (VXM_channel.h)
 *
 * The client of the privileged command channel. The open daemon, a privileged process outside the
 * library, listens on the local stream socket "/tmp/vxmopend" (fixed). A caller names a command and a
 * direction ("r" to read its output, "w" to feed its input); the client connects, sends one request
 * and receives a descriptor for the started command with its process id. When the caller is done
 * with the descriptor it closes the channel and the daemon answers with one status byte.
 *
 * Wire formats (host byte order):
 * @verbatim
   request  "open#" <command, no terminator> "#" <mode letter> 0x00      8 + n bytes, one writev
   reply    0x00 <status> [<pid, int32>]   2 or 6 bytes; status 0 carries one descriptor
            (SCM_RIGHTS); a status 1..255 is an error number; 1-byte messages are ignored
   close    one byte, returned unchanged by VXM_csclose
   @endverbatim
 * Each reply message is awaited at most 3 seconds.
 *
 * Contract: the descriptor belongs to the handle; the caller reads or writes it and never closes it.
 * Every non-null handle goes to VXM_csclose exactly once. While a handle is open SIGPIPE is ignored
 * in the whole process (a write to a vanished reader fails with EPIPE); each handle restores the
 * action it found when it is closed, so the last close decides. Nothing here takes a lock.
 *
 * Messages go to g_VXMLogCallback under the tag "os_utility" ("LOG" and "ttx_port" for the logcat
 * tracking); several carry the inner step's name (recv_fd, cs_conn, cs_close, VXM_CollectLogcatID,
 * VXM_SaveLogcatID, VXM_HuntLogcatID) as the function name.
 * @{
 */
#ifndef VXMOSAL_VXM_CHANNEL_H
#define VXMOSAL_VXM_CHANNEL_H

#include <signal.h>

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** The handle of an open channel: allocated zeroed by VXM_csopen, freed by VXM_csclose. The fields
 * are visible where the platform declares struct sigaction (POSIX; not under a strict ISO C mode
 * without feature macros, where the handle stays an opaque type). */
typedef struct VXM_CS_HANDLE VXM_CS_HANDLE;
#if defined(__cplusplus) || defined(SA_NOCLDSTOP)
struct VXM_CS_HANDLE {
    int fd;                        /**< the descriptor received from the daemon */
    int sock;                      /**< the connected channel socket */
    struct sigaction ignoreAction; /**< SIG_IGN, empty mask, flags 0: installed for SIGPIPE */
    struct sigaction savedAction;  /**< the SIGPIPE action in force when the handle was opened */
};
#endif

/** Has the daemon start command in direction mode ("r" or "w").
 * @return the handle, or null: null command, mode or fdOut, a mode other than "r"/"w" (nothing
 *         sent), no socket, no daemon listening ("cs_conn failed:errno=%d"), or any failure of
 *         cs_open. On success *fdOut holds the descriptor and *pidOut (when given) the command's
 *         process id or -1. On failure *fdOut is untouched, and for a command containing "logcat"
 *         *pidOut may hold the id of a logcat process that appeared during the request. */
VXM_API VXM_CS_HANDLE* VXM_csopen(const char* command, const char* mode, int* fdOut, int* pidOut);

/** Waits for the daemon's close byte (timeoutMs -1: no limit, 0: no wait, otherwise at most that
 * many milliseconds), closes the descriptor and the socket, restores the SIGPIPE action the handle
 * found and frees the handle. A write descriptor (mode "w") is closed before the wait, so that a
 * command reading its input to the end sees that end and the close byte can come; a read
 * descriptor is closed after it.
 * @return the close byte (0..255); -1 for a null handle, a time-out, or a missing byte
 *         ("C: server failed") */
VXM_API int VXM_csclose(VXM_CS_HANDLE* handle, int timeoutMs);

/** Sends the request for command and mode on the connected socket sock and receives the reply.
 * @return the received descriptor (0 or more); -1 on failure ("writev error", "C: msg timeout or
 *         select error 3s", "message format error", a closed connection); minus the status (-1 to
 *         -255) when the daemon reports one. The socket stays open either way. */
VXM_API int cs_open(int sock, const char* command, const char* mode, int* pidOut);

/** Waits for the close byte on sock as VXM_csclose does (closing a write descriptor fd first), then
 * closes fd and sock. When either is negative there is no wait: the result is -1 at once, sock is
 * closed when it is not negative, and fd is left open (it stays the caller's).
 * @return the byte (0..255) or -1 */
VXM_API int cs_close(int sock, int fd, int timeoutMs);

/** Runs command through the channel (mode "r") and reads its output once (at most 4096 bytes, of
 * which the first 4095 are searched). Waits for the daemon's close byte.
 * @retval 1 when the output is not empty and holds find (or find is null)
 * @retval 0 for a null command, an open failure ("shell command can't excute : %s"), no output,
 *         or output without find */
VXM_API int VXM_utl_execFind(const char* command, const char* find);

/** Runs command through the channel and reads its output once (at most 127 bytes, discarded).
 * @retval 0 when the command printed something  @retval -1 otherwise (also when it printed nothing
 *         but succeeded), for a null command or an open failure */
VXM_API int VXM_utl_shellCMD(const char* command);

/** Runs command through the channel and reads its output once (at most 128 bytes).
 * @retval 1 when the command printed something  @retval 0 otherwise */
VXM_API int VXM_utl_shellFind(const char* command);

/** @} */

VXM_END_DECLS

#endif
