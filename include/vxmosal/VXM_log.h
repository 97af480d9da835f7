/** @defgroup logging Logging hook (VXM_log.h)
 *
 * The logging hook. The library never writes diagnostics itself: it hands every record, unformatted,
 * to the one sink the host installs in g_VXMLogCallback. While the pointer is null the library is
 * silent and does no diagnostic work at all (no thread id is fetched, no message counter advances).
 *
 * Each record carries: the source file of the logging module (relative to the library's source
 * root), the line, the logging function's own name, the kernel thread id of the logging thread, the
 * constant 1, the level, the module tag ("StatInfoMgr", "os_thread", "MSG", "os_time", "os_utility",
 * "LOG", "ttx_port", "os_net", "common", "NETWORK"), a printf-style format and exactly the arguments
 * it consumes. A few formats end in a newline; a sink that writes lines should tolerate that.
 *
 * The sink may be called from several threads at once; the library holds none of its own locks while
 * calling it. The host assigns the pointer directly; there is no setter.
 * @{
 */
#ifndef VXMOSAL_VXM_LOG_H
#define VXMOSAL_VXM_LOG_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

#define VXM_LOG_DEBUG 1 /**< step-by-step detail */
#define VXM_LOG_INFO 2  /**< progress and results */
#define VXM_LOG_WARN 3  /**< tolerated oddities */
#define VXM_LOG_ERROR 4 /**< failures and rejected arguments */

/** The sink: one call per record with the fields above; format and the arguments after it are
 * as printf takes them. */
typedef void (*VXM_LOG_CALLBACK)(const char* file, int line, const char* function, int tid, int kind,
                                 int level, const char* module, const char* format, ...);

/** The installed sink, or null (the initial value) for silence. */
VXM_API extern VXM_LOG_CALLBACK g_VXMLogCallback;

/** The calling thread's kernel thread id (the gettid system call). Every log record carries it. */
VXM_API int VXM_thread_gettid(void);

/** @} */

VXM_END_DECLS

#endif
