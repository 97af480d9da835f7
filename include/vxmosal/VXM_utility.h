/** @defgroup utility Files, strings and properties (VXM_utility.h)
 *
 * Files, strings, URLs, the environment, system properties, random numbers, the gap between calls
 * and the callers' table of callbacks. Messages go to g_VXMLogCallback at level 4 (error) under the
 * tag "os_utility", except those of VXM_unzip, which go to standard error. Streams and descriptors
 * that the library opens are close-on-exec.
 * @{
 */
#ifndef VXMOSAL_VXM_UTILITY_H
#define VXMOSAL_VXM_UTILITY_H

#include <stdio.h>

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** @name Files */
/** @{ */

/** Opens path with fopen(path, mode) and sets the file's permission bits to perm with fchmod (an
 * existing file's bits too). The caller closes the stream with fclose.
 * @return the stream, or null:
 *   null path or mode        "The parameters is invalid!."
 *   fopen fails              "fopen[%s, %s] ini file fail." (path, mode)
 *   no descriptor            "fileno ini file fail."   (stream closed)
 *   fchmod fails             "fchmod ini file fail."   (stream closed) */
VXM_API FILE* VXM_File_Open(const char* path, const char* mode, unsigned int perm);

/** @retval 1 when path exists (access F_OK)  @retval 0 otherwise */
VXM_API int VXM_filedir_exist(const char* path);
/** @retval 1 when path, symbolic links followed, is a regular file  @retval 0 otherwise */
VXM_API int VXM_file_exist(const char* path);
/** @retval 1 when path, symbolic links followed, is a directory  @retval 0 otherwise */
VXM_API int VXM_dir_exist(const char* path);
/** unlink(path). @retval 0 success  @retval -1 */
VXM_API int VXM_del_file(const char* path);

/** Reads the whole file into a new zero-terminated block of size + 1 bytes (VXM_malloc); the caller
 * releases *buf with VXM_free. The size is the file's end position, so a file that reports no size
 * (most of /proc) gives size 0 and a block holding only the terminator.
 * @retval 0 success  @retval -1 for a null argument, a file that cannot be opened or sized, or no memory
 *         (*buf and *size untouched). No message. */
VXM_API int VXM_file_read(const char* path, char** buf, unsigned int* size);

/** Writes size bytes of buf to path, truncating it, through VXM_File_Open with mode "w" and
 * permission bits 0600. @retval 0 when all was written  @retval -1 for a null path or buffer,
 * size 0, an open failure (with its VXM_File_Open message) or a short write */
VXM_API int VXM_file_write(const char* path, const char* buf, unsigned int size);

/** Has the open daemon run `"rm -rf <path>"` through VXM_utl_shellCMD, with the daemon's privileges.
 * Mode 1 removes the path itself; any other mode adds the suffix slash-asterisk, which removes the
 * entries the shell pattern names inside the directory (the directory stays). A null path, or one
 * that would make the command longer than 511 characters, runs nothing.
 * @retval 0 always, whether or not anything was removed or the daemon answered */
VXM_API int VXM_del_files(const char* path, unsigned int mode);

/** Runs `"unzip -oq <archive> -d <targetDir>;echo RET:$?"` through VXM_popen (permitting ";$?"):
 * extracts quietly, overwriting existing files, and reads the status line. Failures are written to
 * standard error, not logged:
 *   `"popen failed, cmd;%s\n"` (the command)   the command cannot be started (or is refused)
 *   `"read result error\n"`                     the command printed nothing
 *   `"VXM_unzip failed\n"`                      the output does not start with the status line
 * (any output of the extraction before the status line counts as missing it).
 * @return the exit status of the extraction (0 on success)
 * @retval -1 for the failures above, and for a null argument or a command that would be longer
 *         than 511 characters (nothing run, nothing written) */
VXM_API int VXM_unzip(const char* archive, const char* targetDir);

/** @return the text after the last "/" of path; path itself when it holds no "/" or ends with one.
 *         A pointer into path; nothing is allocated. */
VXM_API char* VXM_path_absoluteToRelative(char* path);

/** @} */

/** @name Strings */
/** @{ */

/** Splits text (modified: each delimiter that ends a token becomes 0) at any character of delim into
 * at most capacity tokens stored in tokens[]; runs of delimiters give no empty token and text beyond
 * a full array is not examined.
 * @return the number of tokens stored; -1 for a null or empty text or delimiter set, a null array or
 *         a capacity below 1 */
VXM_API int VXM_utl_split(char* text, const char* delim, char** tokens, int capacity);

/** @return a new copy of text (release with VXM_free), or null for null text or no memory */
VXM_API char* VXM_dup_string(const char* text);

/** @retval 1 when a "." occurs among the first 17 characters before any ":" and before the end
 * @retval 0 otherwise, and for null or empty text */
VXM_API int VXM_is_IPv4(const char* text);

/** Takes host and port out of "scheme://host:port[/...]" or "scheme://[ipv6%zone]:port[/...]".
 * An IPv4 or name host is at most 15 characters; an IPv6 address loses its "%" zone suffix.
 * @retval 0 success  @retval -1 for a null argument, hostSize below 47, no "://", no port, an unclosed "[",
 *         or an address that does not fit hostSize */
VXM_API int VXM_network_URLResolveHostAndPort(const char* url, char* host, int hostSize, int* port);

/** @return a new copy of the environment variable's value (release with VXM_free), or null:
 *   unset                "getenv NULL"
 *   value too long       "len is too large for VXM_MALLOC"
 *   no memory            "VXM_GetEnvStr malloc null" */
VXM_API char* VXM_GetEnvStr(const char* name);

/** @} */

/** @name System properties (values at most VXM_PROPERTY_VALUE_MAX - 1 = 91 bytes) */
/** @{ */

/** Size of a property value with its terminator. */
#define VXM_PROPERTY_VALUE_MAX 92

/** Copies the property's value, at most size - 1 characters, terminated, into value.
 * @retval 0 success  @retval -1 when the property is unset or empty, or for a null argument or size 0 (the
 *         buffer is then untouched) */
VXM_API int VXM_property_get(const char* key, char* value, unsigned int size);

/** @retval 0 success  @retval -1 when the property service refuses: a null argument, an empty key or one
 *         that holds "/" or starts with ".", a value longer than 91 bytes, or a "ro." key that is
 *         already set */
VXM_API int VXM_property_set(const char* key, const char* value);

/** @} */

/** @name Random numbers and timing */
/** @{ */

/** @return 32 random bits from the crypto library's generator; 0 when the generator fails */
VXM_API unsigned int VXM_gen_random(void);

/** @return the ticks (milliseconds) since the previous call by any thread; the first call returns the
 *         ticks since the tick origin */
VXM_API int VXM_get_responseTime(void);

/** @} */

/** @name The callers' callback table */
/** @{ */

/** Size of RootFunCallback in bytes. */
#define VXM_ROOT_FUN_CALLBACK_SIZE 48

/** 48 bytes whose layout the registering callers define; zero at start. The library copies it in and
 * out and never calls through it. Unguarded: a read concurrent with a registration may see it half
 * written. */
VXM_API extern unsigned char RootFunCallback[VXM_ROOT_FUN_CALLBACK_SIZE];

/** Copies 48 bytes of table into RootFunCallback. @retval 0 success  @return otherwise the bounds-checked copy's
 * non-zero code for a null table, which clears RootFunCallback */
VXM_API int VXM_utl_regRootFunCallback(const void* table);
/** Copies RootFunCallback into 48 bytes at out. @retval 0 success  @return otherwise the copy's non-zero code for a
 * null out (nothing copied) */
VXM_API int VXM_utl_curRootFunCallback(void* out);
/** @return the address of RootFunCallback */
VXM_API void* VXM_utl_getRootFunCallback(void);

/** @} */

/** @} */

VXM_END_DECLS

#endif
