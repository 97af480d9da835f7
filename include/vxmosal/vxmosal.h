/** @file vxmosal.h
 *
 * libvxmosal: an operating-system abstraction layer with a flat C interface. Include this header to
 * get every family; each family also has a header of its own beside it.
 *
 *   VXM_types.h      fixed-width types and status codes
 *   VXM_log.h        the logging hook g_VXMLogCallback and the levels
 *   VXM_memory.h     memory wrappers and fixed-result entry points
 *   VXM_mutex.h      recursive mutexes and counting semaphores
 *   VXM_registry.h   the registry of live mutexes and threads and its dump files
 *   VXM_os_thread.h  threads
 *   VXM_time.h       ticks, sleeps, wall-clock time and time zone
 *   VXM_os_msg.h     events and message queues
 *   VXM_os_timer.h   the timer service
 *   VXM_stats.h      processor, memory and traffic statistics
 *   VXM_utility.h    files, strings, URLs, environment, properties, random numbers, callback table
 *   VXM_shell.h      shell commands guarded against metacharacters, closing every descriptor
 *   VXM_channel.h    the privileged command channel to the open daemon
 *   VXM_process.h    process lookup by name, killing by pattern, the platform's release class
 *   VXM_os_net.h     socket wrappers, connect with a time-out, the box's own interface address
 *   VXM_network.h    network cards, the default card, the network task thread, addresses, links
 */
#ifndef VXMOSAL_VXMOSAL_H
#define VXMOSAL_VXMOSAL_H

#include "VXM_types.h"
#include "VXM_log.h"
#include "VXM_memory.h"
#include "VXM_mutex.h"
#include "VXM_registry.h"
#include "VXM_os_thread.h"
#include "VXM_time.h"
#include "VXM_os_msg.h"
#include "VXM_os_timer.h"
#include "VXM_stats.h"
#include "VXM_utility.h"
#include "VXM_shell.h"
#include "VXM_channel.h"
#include "VXM_process.h"
#include "VXM_os_net.h"
#include "VXM_network.h"

/** @defgroup version Version
 * The version of these headers; the shared object carries SONAME libvxmosal.so.MAJOR.
 * @{ */
#define VXMOSAL_VERSION_MAJOR 1      /**< MAJOR: changes when the interface breaks */
#define VXMOSAL_VERSION_MINOR 0      /**< MINOR: changes when the interface grows */
#define VXMOSAL_VERSION_PATCH 0      /**< PATCH: fixes only */
#define VXMOSAL_VERSION "1.0.0"       /**< the three as text */
/** @} */

#endif
