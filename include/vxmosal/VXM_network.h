/* File: VXM_network.h
 *
 * Network management: the network-card record that names the interface a query is about, the
 * library's default card (used wherever a card pointer is null), the network task thread with its
 * queue and task callback, card enumeration and connection type, link properties, MAC addresses,
 * DNS servers, IPv4 and IPv6 addresses and the wireless card. Queries ask the kernel each time
 * (interface requests, "/sys/class/net", "/proc/net/if_inet6"); nothing is cached.
 *
 * Text results go into the caller's buffer with a signed length that must be greater than 0.
 * Messages go to g_VXMLogCallback under the tag "NETWORK"; the texts below are matched exactly.
 * Module state (default card, connection type, PPPoE header switch, task callback, running switch)
 * is written whole by one call without a lock; nothing orders concurrent writers.
 */
#ifndef VXMOSAL_VXM_NETWORK_H
#define VXMOSAL_VXM_NETWORK_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

#define VXM_NETWORK_NAME_SIZE 16 /* interface names: at most 15 characters and the terminator */

/* cardType */
#define VXM_CARD_TYPE_NONE 0     /* not set */
#define VXM_CARD_TYPE_WIRED 1    /* name begins "eth" */
#define VXM_CARD_TYPE_WIRELESS 2 /* name begins "ra" or "wlan" */

/* connType: "Static", "DHCP", "PPPoE", "IPoE" */
#define VXM_CONN_TYPE_STATIC 0
#define VXM_CONN_TYPE_DHCP 1
#define VXM_CONN_TYPE_PPPOE 2
#define VXM_CONN_TYPE_IPOE 3

typedef struct {
    char ifrName[VXM_NETWORK_NAME_SIZE];    /* "eth0", "wlan0", "ppp0"; empty: not set */
    char ifrExtName[VXM_NETWORK_NAME_SIZE]; /* for "ppp0": the card whose MAC is reported */
    VXM_UINT32 cardType;
    VXM_UINT32 connType;
} VXM_NETWORK_CARD_INFO;

/* The task callback: the two 32-bit words of a task message, in order; 0 means success. */
typedef int (*VXM_NETWORK_MSG_CALLBACK)(VXM_UINT32 first, VXM_UINT32 second);

/* ---- card record, task thread ---- */

/* Sets the default card from card: its cardType, and ifrName and ifrExtName (each cleared, then at
 * most 15 characters copied). The default connType is kept. A null card changes nothing.
 * @return the default card record (never null) */
VXM_API VXM_NETWORK_CARD_INFO* VXM_network_setNetWorkCardInfo(const VXM_NETWORK_CARD_INFO* card);

/* @return card itself, or the default card record when card is null */
VXM_API VXM_NETWORK_CARD_INFO* VXM_network_getNetWorkCardInfo(VXM_NETWORK_CARD_INFO* card);

/* Stores the task callback (null: tasks stay queued until one is set). @retval 0 */
VXM_API int VXM_network_setNetMsgCallback(VXM_NETWORK_MSG_CALLBACK callback);

/* Sets the running switch, makes the task queue once (10 messages of 8 bytes, a full queue drops
 * its oldest; a failure logs "creat message failed!" at level 4 and the thread still starts) and
 * starts one more task thread ("net_pro", 128 KiB stack). @retval 0 always */
VXM_API int VXM_network_threadInit(void);

/* Clears the running switch and destroys the task queue: a task thread blocked on it is woken and
 * has left it before its memory goes; each thread ends at its next test of the switch. @retval 0 */
VXM_API int VXM_network_deInit(void);

/* The task thread's body: names itself "net_pro"; while the switch is set it sleeps 10 ms and, when
 * a callback is set, takes one message and hands its words to the callback, logging
 * "exec task %s!" at level 1 with "Success" (the callback returned 0) or "Failed".
 * @return null (0) when the switch is cleared */
VXM_API void* VXM_netProThread(void* unused);

/* Queues a task message (first, second) for the task thread; a full queue drops its oldest.
 * @retval 0  @retval -1 when there is no queue (before VXM_network_threadInit, after deInit) */
VXM_API int VXM_network_postTask(VXM_UINT32 first, VXM_UINT32 second);

VXM_END_DECLS

#endif
