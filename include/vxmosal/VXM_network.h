/** @defgroup network Network cards (VXM_network.h)
 *
 * Network management: the network-card record that names the interface a query is about, the
 * library's default card (used wherever a card pointer is null), the network task thread with its
 * queue and task callback, card enumeration and connection type, link properties, MAC addresses,
 * DNS servers, IPv4 and IPv6 addresses, the default gateway, interface statistics, IGMP leave and
 * join messages and the wireless card. Queries ask the kernel each time (interface requests, route
 * dumps, "/sys/class/net", "/proc/net/if_inet6"); nothing is cached.
 *
 * Text results go into the caller's buffer with a signed length that must be greater than 0.
 * Messages go to g_VXMLogCallback under the tag "NETWORK"; the texts below are matched exactly.
 * Module state (default card, connection type, PPPoE header switch, task callback, running switch)
 * is written whole by one call without a lock; nothing orders concurrent writers.
 * @{
 */
#ifndef VXMOSAL_VXM_NETWORK_H
#define VXMOSAL_VXM_NETWORK_H

#include "VXM_types.h"

VXM_BEGIN_DECLS

#define VXM_NETWORK_NAME_SIZE 16 /**< interface names: at most 15 characters and the terminator */

/** cardType */
#define VXM_CARD_TYPE_NONE 0     /**< not set */
#define VXM_CARD_TYPE_WIRED 1    /**< name begins "eth" */
#define VXM_CARD_TYPE_WIRELESS 2 /**< name begins "ra" or "wlan" */

/* connType */
#define VXM_CONN_TYPE_STATIC 0 /**< "Static" */
#define VXM_CONN_TYPE_DHCP 1   /**< "DHCP" */
#define VXM_CONN_TYPE_PPPOE 2  /**< "PPPoE" */
#define VXM_CONN_TYPE_IPOE 3   /**< "IPoE" */

/** A network card as the caller names it; a null card pointer means the default card. */
typedef struct {
    char ifrName[VXM_NETWORK_NAME_SIZE];    /**< "eth0", "wlan0", "ppp0"; empty: not set */
    char ifrExtName[VXM_NETWORK_NAME_SIZE]; /**< for "ppp0": the card whose MAC is reported */
    VXM_UINT32 cardType;                    /**< a VXM_CARD_TYPE_ code */
    VXM_UINT32 connType;                    /**< a VXM_CONN_TYPE_ code */
} VXM_NETWORK_CARD_INFO;

/** The task callback: the two 32-bit words of a task message, in order; 0 means success. */
typedef int (*VXM_NETWORK_MSG_CALLBACK)(VXM_UINT32 first, VXM_UINT32 second);

/** @name Card record, task thread */
/** @{ */

/** Sets the default card from card: its cardType, and ifrName and ifrExtName (each cleared, then at
 * most 15 characters copied). The default connType is kept. A null card changes nothing.
 * @return the default card record (never null) */
VXM_API VXM_NETWORK_CARD_INFO* VXM_network_setNetWorkCardInfo(const VXM_NETWORK_CARD_INFO* card);

/** @return card itself, or the default card record when card is null */
VXM_API VXM_NETWORK_CARD_INFO* VXM_network_getNetWorkCardInfo(VXM_NETWORK_CARD_INFO* card);

/** Stores the task callback (null: tasks stay queued until one is set). @retval 0 */
VXM_API int VXM_network_setNetMsgCallback(VXM_NETWORK_MSG_CALLBACK callback);

/** Sets the running switch, makes the task queue once (10 messages of 8 bytes, a full queue drops
 * its oldest; a failure logs "creat message failed!" at level 4 and the thread still starts) and
 * starts one more task thread ("net_pro", 128 KiB stack). @retval 0 always */
VXM_API int VXM_network_threadInit(void);

/** Clears the running switch and destroys the task queue: a task thread blocked on it is woken and
 * has left it before its memory goes; each thread ends at its next test of the switch. @retval 0 */
VXM_API int VXM_network_deInit(void);

/** The task thread's body: names itself "net_pro"; while the switch is set it sleeps 10 ms and, when
 * a callback is set, takes one message and hands its words to the callback, logging
 * "exec task %s!" at level 1 with "Success" (the callback returned 0) or "Failed".
 * @return null (0) when the switch is cleared */
VXM_API void* VXM_netProThread(void* unused);

/** Queues a task message (first, second) for the task thread; a full queue drops its oldest.
 * @retval 0 success  @retval -1 when there is no queue (before VXM_network_threadInit, after deInit) */
VXM_API int VXM_network_postTask(VXM_UINT32 first, VXM_UINT32 second);

/** @} */

/** @name Cards, interface names, connection type, address texts
 * Cards are the entries of "/sys/class/net" whose names begin "eth" (wired) or "ra" or "wlan"
 * (wireless), in the directory's own order.
 */
/** @{ */

/** @return the number of cards ("count:%d", level 2); 0 when the directory cannot be opened
 *         ("opendir error, dir:%s", level 4) */
VXM_API int VXM_network_getCount(void);

/** Fills cards[0..] in directory order with cardType and ifrName (at most 15 characters; ifrExtName
 * and connType untouched); *count gives the capacity and gets the number filled.
 * @retval 0
 * @retval -1 for a null argument ("param error!") or an unreadable directory
 *         ("NULL != (dir = opendir(SEARCH_WIFIETH_PATH)) not true. "; *count untouched) */
VXM_API int VXM_network_getNetCards(VXM_NETWORK_CARD_INFO* cards, int* count);

/** Writes the first wireless card's cardType (2) and ifrName into card, nothing else.
 * @retval 0 success  @retval -1 when there is none, for a reader error, a null card ("param error!") or an
 *         unreadable directory ("opendir error, dir:%s") */
VXM_API int VXM_network_getWifiNetCards(VXM_NETWORK_CARD_INFO* card);

/** Sets *exists to 1 when an entry of "/sys/class/net" is exactly the card's ifrName (null card:
 * the default), else 0 (also when the directory cannot be opened: "opendir error, dir:%s").
 * @retval 0 success  @retval -1 for a null exists or an empty name ("Invaild param,ifrname empty.") */
VXM_API int VXM_network_netCardExist(const VXM_NETWORK_CARD_INFO* card, int* exists);

/** Copies the default card's ifrName, or "eth0" when it is empty, at most size - 1 characters,
 * terminated. @retval 0 success  @retval -1 for a null buffer or a size below 1 */
VXM_API int VXM_network_getIfrName(char* buffer, int size);

/** Copies card's ifrName (no default for null), at most size - 1 characters, terminated.
 * @retval 0 success  @retval -1 for a null card or buffer or a size below 1 */
VXM_API int VXM_network_getIfrNameEx(const VXM_NETWORK_CARD_INFO* card, char* buffer, int size);

/** @retval 0 with the connection type in *type  @retval -1 for null ("param error!") */
VXM_API int VXM_network_getConnType(int* type);

/** Stores the connection type, also in the default card's connType: "Static" 0, "DHCP" 1,
 * "PPPoE" 2, "IPoE" 3 (exact words, with case), or a number text (atoi) of 1 for PPPoE, 2 for DHCP,
 * 3 for static. @retval 0 success  @retval -1 for null or any other text (nothing changes, no message) */
VXM_API int VXM_network_setConnType(const char* text);

/** @retval 1 when text is an IPv6 address (it holds a colon) or an IPv4 address in dotted form as
 *         inet_pton reads them  @retval 0 otherwise, also for null */
VXM_API int VXM_isValidIPAddr(const char* text);

/** @retval 1 when text begins with four dot-separated numbers ("IP is valid IPv4", level 2)
 * @retval 0 for null ("NULL != szIP not true. ") or fewer numbers
 *         ("sscanf_s(szIP,\"%hhu.%hhu.%hhu.%hhu\",&a,&b,&c,&d) == 4 not true. "), level 4 */
VXM_API int VXM_network_isIPv4(const char* text);

/** @} */

/** @name Addresses */
/** @{ */

/** The card's IPv4 address (null card: the default) in dotted form, as inet_ntop writes it into
 * buffer with length (a buffer too short for the text keeps what it held; 16 bytes always hold it).
 * @retval 0
 * @retval -1 for an empty name, a null buffer or a length of 0 or less ("Invaild param."), no
 *         socket ("create socket error,errno = %d.") or no address
 *         ("failed to read %s IP, ioctl error: %s.", the name and the system's text); level 4 */
VXM_API int VXM_network_getIpAddr(const VXM_NETWORK_CARD_INFO* card, char* buffer, int length);

/** The card's IPv4 netmask, written as VXM_network_getIpAddr writes the address.
 * @retval 0
 * @retval -1 for an empty name, a null buffer or a negative length ("Invaild param."), a length of
 *         0 ("pszIfrName= NULL", reported by getNetMask), no socket ("create socket error,errno = %d.")
 *         or no netmask ("create ioctl error,errno = %d."); level 4 */
VXM_API int VXM_network_getNetMask(const VXM_NETWORK_CARD_INFO* card, char* buffer, int length);

/** The card's first IPv6 address in "/proc/net/if_inet6" that does not begin "fe80", as eight
 * groups of four hexadecimal digits joined by ":" exactly as the table has them (never shortened),
 * cut to length - 1 characters. Logs "Enter VXM_network_getIpv6Addr" (level 1). Only names of up to
 * 8 characters can match the table.
 * @retval 0
 * @retval -1 ("pTempNetworkCard && '\0' != pTempNetworkCard->ifrName[0] && pszIpAddr && iLen > 0
 *         not true. " for an empty name, a null buffer or a length of 0 or less; "fopen
 *         /proc/net/if_inet6 failed!!"; "find ipv6 addr failed!!" from parse_inet_file); level 4 */
VXM_API int VXM_network_getIpv6Addr(const VXM_NETWORK_CARD_INFO* card, char* buffer, int length);

/** @} */

/** @name Link properties */
/** @{ */

/** State codes of the link functions */
#define VXM_LINK_UNKNOWN 0 /**< the state could not be read */
#define VXM_LINK_DOWN 1    /**< disconnected (cable), or down (activity) */
#define VXM_LINK_UP 2      /**< connected (the interface is running), or up */

/** The card's cable state (null card: the default) in *state: 2 running, 1 not, 0 when it cannot
 * be read ("Invaild param,ifrname empty.", "create socket error, errno:%d.",
 * "ioctl error, errno:%d."; level 4). @retval 0 success  @retval -1 for a null state ("param error!") */
VXM_API int VXM_network_getCableState(const VXM_NETWORK_CARD_INFO* card, int* state);

/** As VXM_network_getCableState for an interface name (a card record may be passed), without a
 * default, except that a failed request gives 1 ("ioctl error, errno:%d ifrName:'%s'.").
 * @retval 0 success  @retval -1 for a null argument ("param error!") */
VXM_API int VXM_network_getCableState_for_error_report(const char* name, int* state);

/** The interface's activity in *active: 2 up, 1 down; 0 for an empty name
 * ("Invaild param,ifrname empty.", returns 0) or a failure ("create socket error, errno:%d.",
 * "ioctl error, errno:%d.", returns -1). @retval 0 success  @retval -1 (also "param error!" for null) */
VXM_API int VXM_network_getNetActive(const char* name, int* active);

/** Brings the card (null: the default) up (mode 2) or down (mode 1); any other mode writes the
 * flags back as read. @retval 0 success  @retval -1 for an empty name ("Invaild param,ifrname empty.") or
 * a failed socket, read or write ("recv error, errno:%d.") */
VXM_API int VXM_network_setNetActive(const VXM_NETWORK_CARD_INFO* card, int mode);

/** The default card's duplex (1 full, 0 half), from at most 7 characters of its name: a wired card
 * reads `"/sys/class/net/<name>/duplex"` (1 preset; "network is FULL duplex" or
 * "network is Half duplex", level 2), a wireless card gives 1, any other type leaves *duplex.
 * @retval 0 success  @retval -1 for null ("param error!") or no file ("open network duplex file error.") */
VXM_API int VXM_network_getNetCardDuplex(int* duplex);

/** The default card's speed in Mbit/s: 0 when its cable state is 1 (disconnected); otherwise a
 * wired card reads `"/sys/class/net/<name>/speed"` (name cut to 7 characters, 100 preset), a
 * wireless card gives 54, any other type leaves *speed.
 * @retval 0 success  @retval -1 for null ("param error!"), no file ("open network speed file error.") or a
 *         failed read ("speed file fread error, errno=%d.") */
VXM_API int VXM_network_getNetCardCapacity(int* speed);

/** @} */

/** @name MAC addresses, DNS servers, PPPoE header */
/** @{ */

/** The card's MAC (null card: the default) as "%02X:%02X:%02X:%02X:%02X:%02X", at most size - 1
 * characters. A card named "ppp0" has none of its own: its ifrExtName is asked instead
 * ("PPPoE not have Mac address, use %s", level 4).
 * @retval 0
 * @retval -1 for an empty name, a null buffer or a size of 17 or less ("Invaild param."), no socket
 *         ("create socket error,errno = %d,get mac failed.") or a failed request
 *         ("ioctl error,errno = %d,get mac failed."; the buffer is untouched); level 4 */
VXM_API int VXM_network_getMacAddr(const VXM_NETWORK_CARD_INFO* card, char* buffer, int size);

/** As VXM_network_getMacAddr with the 12 digits "%02X%02X%02X%02X%02X%02X"; the size must still be
 * more than 17. */
VXM_API int VXM_network_getMacAddrOnlyNum(const VXM_NETWORK_CARD_INFO* card, char* buffer, int size);

/** The MAC of "eth0" in the colon form whatever the default card, at most size - 1 characters (18
 * bytes hold it), without the "ppp0" substitution.
 * @retval 0 success  @retval -1 for a null buffer or a size below 1, or the failures above */
VXM_API int VXM_network_getEth0MacAddr(char* buffer, int size);

/** Sets the property `"net.dns<i>"` to servers[i - 1] for i = 1..count; a null entry is skipped
 * ("aszDNS[%d] is null.", its zero-based position, level 3). Failed writes are not reported.
 * @retval 0 success  @retval -1 for a null array or a count of 0 or less
 *         ("VXM_network_setDNS arguments error.", level 4) */
VXM_API int VXM_network_setDNS(const char* const* servers, int count);

/** Reads "net.dns1" (index 0) or "net.dns2" (index 1) into buffer, at most size - 1 characters; an
 * unset property leaves the buffer as it was. @retval 0 success  @retval -1 for a null buffer or another
 * index */
VXM_API int VXM_network_getDNS(char* buffer, int index, int size);

/** The PPPoE header switch (0 at load; non-zero is on). @retval 0 */
VXM_API int VXM_network_setPPPoeIPHeader(int value);
/** @return the stored switch */
VXM_API int VXM_network_getPPPoeIPHeader(void);

/** @} */

/** @name IGMP leave and join messages
 * Each sender builds one packet by hand, a 24-byte IPv4 header (type of service 0xC0, don't
 * fragment, time to live 1, the Router Alert option) and the IGMP message, and hands it to the
 * kernel once on a raw IGMP socket with IP_HDRINCL (the process needs the right to open raw
 * sockets); the kernel's multicast routing picks the card. A group or source text that is not a
 * dotted-decimal IPv4 address logs `"INCORRECT IP ADDRESS!\n"` (level 4) and gives 0.0.0.0, and the
 * packet still goes out; a zero source is filled in by the kernel.
 * @retval 0 when the packet was handed to the kernel  @retval -1 otherwise
 */
/** @{ */

/** IGMPv2 Leave Group for group to 224.0.0.2 (32 bytes), from the property
 * "persist.sys.vxm.ipaddress"; on a PPPoE connection with the PPPoE header switch 0 the property is
 * not read and the source is zero. Logs "enter VXM_network_IGMPLeave" and, at the end,
 * "leave VXM_network_IGMPLeave" (level 2); the socket option's outcome
 * ("VXM_net_IGMPleave success: setsockopt size = %d", level 2, or
 * "VXM_net_IGMPleave failed: setsockopt error[errno=%d]", level 4, and the send goes on) and the
 * send's ("VXM_net_IGMPleave success: send data size = %d", level 2, or
 * "VXM_net_IGMPleave failed: send data error[errno=%d]", level 4).
 * Failures before the send (level 4): "param mul_ip is error" (null group),
 * "VXM_property_get ip FAILD !!!" (property unset or empty), "malloc[errno=%d]",
 * "create socket failed[errno=%d]". */
VXM_API int VXM_network_IGMPLeave(const char* group);

/** As VXM_network_IGMPLeave from the default card's IPv4 address (VXM_network_getIpAddr; when it
 * fails: "Failed to the VXM_network_getIpAddr", level 4, nothing sent). A null group logs
 * "param mul_ip is error" before any entry message; the socket option's outcome is not reported
 * and the send's success is logged at level 1. Ends with "leave VXM_network_IGMPLeave2". */
VXM_API int VXM_network_IGMPLeave2(const char* group);

/** IGMPv3 Membership Report to 224.0.0.22 (40 bytes) from the default card's IPv4 address, with one
 * record for group and no sources: change to include mode (leave) when join is 0, change to exclude
 * mode (join) otherwise. A null group returns -1 without a message. Logs
 * "enter VXM_network_IGMPLeave3" (level 2), then "Success to the VXM_net_IGMPJoin" (level 1) for a
 * sent report, or one of "Failed to the VXM_network_getIpAddr", "malloc[errno=%d]" (both return at
 * once), "create socket failed![errno=%d]", "setsockopt failed![errno=%d]", "sendto[errno=%d]"
 * (level 4) followed by "leave VXM_network_IGMPLeave3" (level 2). */
VXM_API int VXM_network_IGMPLeave3(const char* group, unsigned int join);

/** Forces the kernel's IGMP version on all cards ("/proc/sys/net/ipv4/conf/all/force_igmp_version")
 * to 2 or 3 through the open daemon; logs "set igmp version is [%d]" (level 1).
 * @retval 0 when the daemon took the command  @retval -1 when it did not, or for any other version
 *         (nothing is written) */
VXM_API int VXM_network_IGMPSetVersion(int version);

/** @} */

/** @name The wireless card */
/** @{ */

/** The library's wireless card record, named "wlan0" with cardType 2 (set again on each call when
 * its name was changed; ifrExtName and connType are never touched). @return it, never null */
VXM_API VXM_NETWORK_CARD_INFO* VXM_network_getWIFICardInfo(void);

/** The running state of "wlan0" in *state (card is not used): 2 running, 1 not, 0 when it cannot be
 * read ("create socket error, errno:%d." or "ioctl error, errno:%d.", level 4).
 * @retval 0 success  @retval -1 for a null state ("param error!") */
VXM_API int VXM_network_getWIFIState(const VXM_NETWORK_CARD_INFO* card, int* state);

/** Waits 3 seconds unless the card (no default) is up, then returns; no scan is made and nothing is
 * written to result. @retval 0 success  @retval -1 for a null card, an empty name or a null result
 * ("Invaild param.", at once) */
VXM_API int VXM_wifi_searchList(const VXM_NETWORK_CARD_INFO* card, void* result);

/** Waits 2 seconds unless the card is up; no connection is attempted and request is not read.
 * @retval -1 always ("Invaild param." at once for a null card, an empty name or a null request) */
VXM_API int VXM_wifi_connectToSSID(const VXM_NETWORK_CARD_INFO* card, const void* request);

/** @} */

/** @name Default gateway */
/** @{ */

/** The card's IPv4 default gateway (null card: the default) in dotted form. The release class of
 * VXM_utl_get_os_type picks the way:
 * - 4 or less (0 included: property unset or unknown release): a dump of every route over a
 *   netlink socket; each route of the main table whose destination text holds "0.0.0.0" (a missing
 *   destination is 0.0.0.0; 10.0.0.0/8 qualifies too) and that leaves through the card writes its
 *   gateway (0.0.0.0 when it has none) into buffer with length, so the last one in the dump decides
 *   and, when none qualifies, buffer keeps what it held. Failures, level 4: "create socket
 *   error,error = %d" (errno); "get gateway error." for a failed send, a failed read (after the
 *   message of VXM_net_readNlSock: "(readLen = recv(sockFd, bufPtr, VXM_RECV_BUFSIZE - msgLen, 0))
 *   >= 0 not true. " or "NLMSG_OK(nlHdr, (VXM_UINT32)readLen) && nlHdr->nlmsg_type != NLMSG_ERROR
 *   not true. ", also for a dump larger than the 8192 bytes of its buffer) or no route record.
 * - 5 and above: the open daemon runs `"ip route list table <name> > /tmp/Gateway"` and
 *   "chmod 644 /tmp/Gateway" (each waited for, at most 3 s; the file is left in place); the word
 *   after "default via " on the file's first line goes into buffer, bounded by length (a word that
 *   does not fit leaves buffer empty). A first line of another form leaves buffer as it was.
 *   Failures, level 1: "VXM open gateway file err", "VXM gateway file is empty".
 * @retval 0
 * @retval -1 for an empty name, a null buffer or a length of 0 or less ("Invaild param.", level 4,
 *         before any socket, command or file) or the failures above */
VXM_API int VXM_network_getGateway(const VXM_NETWORK_CARD_INFO* card, char* buffer, int length);

/** @} */

/** @name Interface statistics */
/** @{ */

#define VXM_NETWORK_TEXT_SIZE 128 /**< the address texts of the statistics record */

/** One interface's addresses, link and counters. The caller sets ifrName and should clear the rest:
 * VXM_network_getStatic writes only what it obtains. */
typedef struct {
    char ifrName[VXM_NETWORK_NAME_SIZE];    /**< the name, or the beginning of the names, wanted */
    char reserved[VXM_NETWORK_NAME_SIZE];   /**< not read or written */
    char ipAddr[VXM_NETWORK_TEXT_SIZE];     /**< VXM_network_getIpAddr */
    char netMask[VXM_NETWORK_TEXT_SIZE];    /**< VXM_network_getNetMask */
    char gateway[VXM_NETWORK_TEXT_SIZE];    /**< VXM_network_getGateway */
    VXM_INT32 linkUp;                       /**< set to 1 when operstate begins "up", else untouched */
    /** `"/sys/class/net/<name>/statistics/<field>"`, each read as a 32-bit number (a file that cannot
     * be read gives 0) */
    /** @{ */
    VXM_INT64 collisions;
    VXM_INT64 multicast;
    VXM_INT64 rx_bytes;
    VXM_INT64 rx_compressed;
    VXM_INT64 rx_crc_errors;
    VXM_INT64 rx_dropped;
    VXM_INT64 rx_errors;
    VXM_INT64 rx_fifo_errors;
    VXM_INT64 rx_frame_errors;  /**< these three are not filled */
    VXM_INT64 rx_length_errors;
    VXM_INT64 rx_missed_errors;
    VXM_INT64 rx_over_errors;
    VXM_INT64 rx_packets;
    VXM_INT64 tx_aborted_errors;
    VXM_INT64 tx_bytes;
    VXM_INT64 tx_carrier_errors;
    VXM_INT64 tx_compressed;
    VXM_INT64 tx_dropped;
    VXM_INT64 tx_errors;
    VXM_INT64 tx_fifo_errors;
    VXM_INT64 tx_heartbeat_errors;
    VXM_INT64 tx_packets;
    VXM_INT64 tx_window_errors;
    /** @} */
    VXM_INT64 txTotal;     /**< tx_dropped + tx_errors + tx_packets */
    VXM_INT64 rxTotal;     /**< rx_packets + rx_errors + rx_dropped */
    /** "wlan0" only, from the wireless tools (0 when a tool is missing or prints no such line) */
    VXM_INT32 txBad;       /**< "TXBAD=" of wpa_cli pktcnt_poll */
    VXM_INT32 snr;         /**< "snr=" of iwpriv getSNR */
    VXM_INT32 rssi;        /**< dBm, "rssi=" of iwpriv getRSSI */
    float quality;         /**< 0.0 below -99 dBm, (rssi + 100) / 45 up to -56, 1.0 from -55 */
    VXM_INT64 frequency;   /**< whole GHz of iwlist's "Current Frequency:" times 100000000 */
    float rxErrorRatio;    /**< rx_errors / rxTotal as a fraction; written only when rx_packets != 0 */
} VXM_NETWORK_STATIC_INFO;

/** Fills info for every card (in "/sys/class/net" order) whose name begins with info->ifrName (an
 * empty name matches all; a later card overwrites an earlier one field by field, linkUp is only
 * set). Logs its steps at level 1; for "wlan0" also "ifrName=wlan0" and "rssi=%d" (level 2).
 * @retval 0 once the cards were listed, whether or not one matched
 * @retval -1 for null ("VXM_network_getStatic  input para error"), no cards or no memory
 *         ("VXM_network_getStatic  can't malloc mem for cardinfo card number '%d'") or a failed
 *         listing ("VXM_network_getStatic  get netcard failed"); level 4 */
VXM_API int VXM_network_getStatic(VXM_NETWORK_STATIC_INFO* info);

/** @} */

/** @} */

VXM_END_DECLS

#endif
