/** @defgroup sockets Sockets (VXM_os_net.h)
 *
 * Sockets: thin wrappers over the system's socket calls, a connect that gives up after a time-out,
 * and queries about the box's own interface.
 *
 * Each wrapper checks its arguments, translates the library's address record into the system's
 * structures, calls the system once and returns its result unchanged (errno as the system set it).
 * A refused argument gives -1 without calling the system; only the functions documented as logging
 * report anything (level 4, tag "os_net", or "common" for a null record). Stream and datagram sockets
 * of VXM_sock_socket are close-on-exec. Nothing is kept between calls except the per-thread text of
 * VXM_sock_inetntop and the last address of VXM_sock_getIp.
 * @{
 */
#ifndef VXMOSAL_VXM_OS_NET_H
#define VXMOSAL_VXM_OS_NET_H

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "VXM_types.h"

VXM_BEGIN_DECLS

/** Family code of an IPv6 record; any other value means IPv4 (callers use 2). */
#define VXM_SOCK_FAMILY_INET6 23

/** An IPv4 or IPv6 endpoint. The first 16 bytes line up with the system's IPv4 socket address. An
 * IPv4 record needs 16 bytes (zero the first 8 bytes of addrTail), an IPv6 record 24 bytes to be read
 * and 28 to be written by VXM_sock_recvfrom, which leaves the system's layout in it (family 2 or 10;
 * for IPv6 the flow information in addr, the address in addrTail and the scope in scopeId). */
typedef struct {
    VXM_INT16 family;        /**< 23: IPv6; else IPv4 */
    VXM_UINT16 port;         /**< network byte order */
    VXM_UINT32 addr;         /**< IPv4 address, network byte order; not read for IPv6 */
    VXM_UINT8 addrTail[16];  /**< IPv6: the address; IPv4: copied into the zero fill */
    VXM_UINT32 scopeId;      /**< never read */
} VXM_SOCKADDR;

/** A local (file-system) socket address; the library always writes family AF_UNIX. */
typedef struct {
    VXM_UINT16 family; /**< AF_UNIX */
    char path[108]; /**< terminated inside the 108 bytes */
} VXM_SOCKADDR_UN;

/** @name Creating, closing, binding */
/** @{ */

/** domain 1: AF_INET6, else AF_INET; type 2: SOCK_DGRAM, else SOCK_STREAM; close-on-exec. */
VXM_API int VXM_sock_socket(int domain, int type);
/** A local socket: type 1: SOCK_STREAM, else SOCK_DGRAM (not close-on-exec); domain is ignored. */
VXM_API int VXM_sock_socket_un(int domain, int type);
/** Closes descriptors above 2; 0, 1, 2 and negative ones are logged "%s: Can not close sock %d" and
 * give -1. */
VXM_API int VXM_sock_close(int sockfd);
/** bind() of the converted record with the caller's length; -1 for a null record, a negative
 * descriptor or a length of 0 or less. */
VXM_API int VXM_sock_bind(int sockfd, const VXM_SOCKADDR* addr, int addrLen);
/** Binds to the IPv6 wildcard address on the record's port (system length 28, whatever addrLen). */
VXM_API int VXM_sock_bindV6(int sockfd, const VXM_SOCKADDR* addr, int addrLen);
/** Binds to the IPv4 wildcard address on the first free port from port (host order) upward, wrapping
 * from 65535 to 0, with at most tries attempts (at least one). Port 0 binds nothing and gives 0. */
VXM_API int VXM_sock_bindlocal(int sockfd, unsigned short port, int tries);
/** bind() of the local address with the caller's length; refused as VXM_sock_bind. */
VXM_API int VXM_sock_bind_un(int sockfd, const VXM_SOCKADDR_UN* addr, int addrLen);
/** listen(); -1 when the descriptor or backlog is negative. */
VXM_API int VXM_sock_listen(int sockfd, int backlog);
/** accept(); addr is the system's own structure, passed through. -1 for a null addr or addrLen. */
VXM_API int VXM_sock_accept(int sockfd, struct sockaddr* addr, socklen_t* addrLen);
/** The same function as VXM_sock_accept, under the name local sockets use. */
VXM_API int VXM_sock_accept_un(int sockfd, struct sockaddr* addr, socklen_t* addrLen);
/** shutdown(), no checks. */
VXM_API int VXM_sock_shutdown(int sockfd, int how);
/** ioctl(), no checks. */
VXM_API int VXM_sock_ioctl(int sockfd, unsigned long request, void* arg);
/** setsockopt(); -1 for a null value or a negative descriptor. */
VXM_API int VXM_sock_setsockopt(int sockfd, int level, int name, const void* value, socklen_t valueLen);
/** getsockopt(); -1 for a null value or valueLen. */
VXM_API int VXM_sock_getsockopt(int sockfd, int level, int name, void* value, socklen_t* valueLen);

/** @} */

/** @name Connecting */
/** @{ */

/** Logs "VXM_sock_connect: pSockaddr = NULL, lSocketfd=%d" for a null record or negative descriptor,
 * and "VXM_sock_connect: iRet=%d, errno=%d" for every failed connect (EINPROGRESS included). */
VXM_API int VXM_sock_connect(int sockfd, const VXM_SOCKADDR* addr, int addrLen);
/** As VXM_sock_connect for a local address, with the same messages word for word (naming
 * VXM_sock_connect); the length is not checked. */
VXM_API int VXM_sock_connect_un(int sockfd, const VXM_SOCKADDR_UN* addr, int addrLen);

/** Connects a stream socket, giving up after timeoutMs, watched in 30 ms slices (a time-out of T waits
 * T / 30 + 1 slices). The descriptor's file status flags are as on entry when it returns.
 * @retval 0 connected
 * @retval 3 timed out (the count-down ran out, or the system reported ETIMEDOUT); the attempt is left
 *         in progress on the socket
 * @retval -1 refused, any other failure, a null record, a negative descriptor or a time-out <= 0
 * Descriptors of 1024 and above cannot be watched and always end with 3. */
VXM_API int VXM_sock_connectTimeOut(int sockfd, const VXM_SOCKADDR* addr, int timeoutMs);
/** Classifies the socket's pending error: 3 for ETIMEDOUT, -1 for ECONNREFUSED or when it cannot be
 * read, 0 for none (each restoring the descriptor's flags to savedFlags), 5 for any other (flags left
 * alone). */
VXM_API int handle_socketOptError(int sockfd, int savedFlags);

/** @} */

/** @name Sending and receiving */
/** @{ */

/** send(); -1 for a null buffer or a length of 0 or less (the descriptor is not checked). */
VXM_API int VXM_sock_send(int sockfd, const void* buffer, int length, int flags);
/** recv(); refused as VXM_sock_send. */
VXM_API int VXM_sock_recv(int sockfd, void* buffer, int length, int flags);
/** Sends to the record's endpoint with the system address's own size (16 or 28); toLen is only
 * checked for being negative. */
VXM_API int VXM_sock_sendto(int sockfd, const void* buffer, int length, int flags,
                            const VXM_SOCKADDR* to, int toLen);
/** from receives the sender in the system's layout (see VXM_SOCKADDR); descriptor 0 is refused. */
VXM_API int VXM_sock_recvfrom(int sockfd, void* buffer, int length, int flags, VXM_SOCKADDR* from,
                              socklen_t* fromLen);
/** select with a time-out in milliseconds; 0 polls. */
VXM_API int VXM_sock_select(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                            int timeoutMs);

/** @} */

/** @name Names and address text */
/** @{ */

/** Resolves host and writes its first IPv4 address as dotted text into out (16 bytes); 0 or -1, out
 * untouched on failure. */
VXM_API int VXM_sock_getHostByName(char* out, const char* host);
/** VXM_free(pointer); null is ignored. */
VXM_API void VXM_sock_freeHostent(void* pointer);
/** The address in network byte order, or -1 (also for "255.255.255.255") */
VXM_API int VXM_sock_inetaddr(const char* text);
/** The system's inet_ntoa: one static buffer shared by all threads. */
VXM_API char* VXM_sock_inetntoa(struct in_addr addr);
/** Dotted text of addr (network byte order) in the calling thread's own 16-byte buffer, overwritten by
 * its next call; null when the conversion fails. */
VXM_API char* VXM_sock_inetntop(VXM_UINT32 addr);
/** 1 when text is a valid address of family 2 (AF_INET) or 10 (AF_INET6) and was stored in dst, else 0. */
VXM_API int VXM_sock_inetpton(int family, const char* text, void* dst);
/** The local name: a 16-byte IPv4 or a 28-byte IPv6 system address and its family (2 or 10).
 * @retval 0 success
 * @retval -1 when the system refuses, for another family, or (logged at level 4) a null family
 *         (" para is NULL") or a null out of the family found (" pAddrV4 is NULL", " pAddrV6 is NULL") */
VXM_API int VXM_sock_getsockname(int sockfd, struct sockaddr_in* addrV4, struct sockaddr_in6* addrV6,
                                 int* family);
/** The peer's name, as VXM_sock_getsockname; an IPv4 peer with a null addrV4 is asked again as IPv6.
 * Logged at level 4: " pAddrV4 or pAddrV6 is NULL" (both null), "para is NULL!" (null family),
 * " pAddrV6 is NULL" (no IPv4 answer and a null addrV6); each returns -1. */
VXM_API int VXM_sock_getpeername(int sockfd, struct sockaddr_in* addrV4, struct sockaddr_in6* addrV6,
                                 int* family);

/** @} */

/** @name The box's own interface
 * The interface is the default card's ifrName, or its ifrExtName when its connType is PPPoE and the
 * selector is not 1. None of these log.
 */
/** @{ */

/** The interface's IPv4 address as text into out (16 bytes), and its index (0 when unknown) into
 * index when not null. When the address cannot be had, the last address obtained is given instead
 * (empty before the first). -1 only for a null out. */
VXM_API int VXM_sock_getIp(char* out, int selector, unsigned int* index);
/** The interface name into out; 1 without writing for a null out or size <= 15. */
VXM_API int VXM_sock_getInterfaceName(char* out, unsigned int size, int selector);
/** The interface index, 0 when the name is empty or unknown. */
VXM_API unsigned int VXM_sock_getInterfaceIdx(int selector);
/** The hardware address of "eth0" as "00:1a:2b:3c:4d:5e" (lower case) into out (18 bytes); 0 or -1. */
VXM_API int VXM_sock_getMac(char* out);

/** @} */

/** @} */

VXM_END_DECLS

#endif
