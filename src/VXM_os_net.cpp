// Socket wrappers and the connect with a time-out. Each wrapper is one system call behind its
// argument checks; the library's address record is turned into the system's address on the way.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/log.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_os_net.h"

namespace {

constexpr char kModuleTag[] = "os_net";

constexpr int kTextSize = 16;  // dotted IPv4 text with its terminator
constexpr unsigned int kHostBufferStart = 1024;
constexpr int kSliceMs = 30;

static_assert(sizeof(VXM_SOCKADDR) == 28, "the record is the size of the system's IPv6 address");
static_assert(sizeof(VXM_SOCKADDR_UN) == sizeof(sockaddr_un), "the local record is the system's");

thread_local char t_ntopText[kTextSize];

// The system address of a record: 28-byte IPv6 for family code 23, else 16-byte IPv4 whose zero fill
// is the first 8 bytes of the record's tail (or cleared when keepZeroFill is false).
struct SystemAddress {
    union {
        sockaddr any;
        sockaddr_in v4;
        sockaddr_in6 v6;
    };
    socklen_t size;
};

SystemAddress systemAddress(const VXM_SOCKADDR& record, bool keepZeroFill) {
    SystemAddress out;
    std::memset(&out, 0, sizeof out);
    if (record.family == VXM_SOCK_FAMILY_INET6) {
        out.v6.sin6_family = AF_INET6;
        out.v6.sin6_port = record.port;
        std::memcpy(&out.v6.sin6_addr, record.addrTail, sizeof out.v6.sin6_addr);
        out.size = sizeof(sockaddr_in6);
    } else {
        out.v4.sin_family = AF_INET;
        out.v4.sin_port = record.port;
        out.v4.sin_addr.s_addr = record.addr;
        if (keepZeroFill) std::memcpy(out.v4.sin_zero, record.addrTail, sizeof out.v4.sin_zero);
        out.size = sizeof(sockaddr_in);
    }
    return out;
}

sockaddr_un localAddress(const VXM_SOCKADDR_UN& record) {
    sockaddr_un out;
    out.sun_family = AF_UNIX;
    std::memcpy(out.sun_path, record.path, sizeof out.sun_path);
    return out;
}

// Puts the descriptor's flags back, logging when that fails.
void restoreFlags(int sockfd, int savedFlags) {
    if (fcntl(sockfd, F_SETFL, savedFlags) < 0) VXM_LOG(VXM_LOG_ERROR, kModuleTag, "fcntl error");
}

}  // namespace

extern "C" {

VXM_API int VXM_sock_socket(int domain, int type) {
    return socket(domain == 1 ? AF_INET6 : AF_INET,
                  (type == 2 ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
}

VXM_API int VXM_sock_socket_un(int /*domain*/, int type) {
    return socket(AF_UNIX, type == 1 ? SOCK_STREAM : SOCK_DGRAM, 0);
}

VXM_API int VXM_sock_close(int sockfd) {
    if (sockfd <= 2) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "%s: Can not close sock %d", __func__, sockfd);
        return -1;
    }
    return close(sockfd);
}

VXM_API int VXM_sock_bind(int sockfd, const VXM_SOCKADDR* addr, int addrLen) {
    if (addr == nullptr || sockfd < 0 || addrLen <= 0) return -1;
    const SystemAddress target = systemAddress(*addr, true);
    return bind(sockfd, &target.any, static_cast<socklen_t>(addrLen));
}

VXM_API int VXM_sock_bindV6(int sockfd, const VXM_SOCKADDR* addr, int addrLen) {
    if (addr == nullptr || sockfd < 0 || addrLen <= 0) return -1;
    sockaddr_in6 wildcard;
    std::memset(&wildcard, 0, sizeof wildcard);
    wildcard.sin6_family = AF_INET6;
    wildcard.sin6_port = addr->port;
    return bind(sockfd, reinterpret_cast<const sockaddr*>(&wildcard), sizeof wildcard);
}

VXM_API int VXM_sock_bindlocal(int sockfd, unsigned short port, int tries) {
    if (sockfd < 0) return -1;
    if (port == 0) return 0;
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    for (;;) {
        local.sin_port = htons(port);
        if (bind(sockfd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) return 0;
        if (--tries <= 0) return -1;
        ++port;
    }
}

VXM_API int VXM_sock_bind_un(int sockfd, const VXM_SOCKADDR_UN* addr, int addrLen) {
    if (addr == nullptr || sockfd < 0 || addrLen <= 0) return -1;
    const sockaddr_un local = localAddress(*addr);
    return bind(sockfd, reinterpret_cast<const sockaddr*>(&local), static_cast<socklen_t>(addrLen));
}

VXM_API int VXM_sock_listen(int sockfd, int backlog) {
    if (sockfd < 0 || backlog < 0) return -1;
    return listen(sockfd, backlog);
}

VXM_API int VXM_sock_accept(int sockfd, struct sockaddr* addr, socklen_t* addrLen) {
    if (addr == nullptr || addrLen == nullptr) return -1;
    return accept(sockfd, addr, addrLen);
}

// Local sockets are accepted exactly like the others.
VXM_API int VXM_sock_accept_un(int sockfd, struct sockaddr* addr, socklen_t* addrLen)
    __attribute__((alias("VXM_sock_accept")));

VXM_API int VXM_sock_shutdown(int sockfd, int how) { return shutdown(sockfd, how); }

VXM_API int VXM_sock_ioctl(int sockfd, unsigned long request, void* arg) {
    return ioctl(sockfd, request, arg);
}

VXM_API int VXM_sock_setsockopt(int sockfd, int level, int name, const void* value,
                                socklen_t valueLen) {
    if (value == nullptr || sockfd < 0) return -1;
    return setsockopt(sockfd, level, name, value, valueLen);
}

VXM_API int VXM_sock_getsockopt(int sockfd, int level, int name, void* value, socklen_t* valueLen) {
    if (value == nullptr || valueLen == nullptr) return -1;
    return getsockopt(sockfd, level, name, value, valueLen);
}

VXM_API int VXM_sock_connect(int sockfd, const VXM_SOCKADDR* addr, int addrLen) {
    if (addr == nullptr || sockfd < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_sock_connect: pSockaddr = NULL, lSocketfd=%d", sockfd);
        return -1;
    }
    const SystemAddress target = systemAddress(*addr, true);
    const int result = connect(sockfd, &target.any, static_cast<socklen_t>(addrLen));
    if (result < 0)
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_sock_connect: iRet=%d, errno=%d", result, errno);
    return result;
}

VXM_API int VXM_sock_connect_un(int sockfd, const VXM_SOCKADDR_UN* addr, int addrLen) {
    if (addr == nullptr || sockfd < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_sock_connect: pSockaddr = NULL, lSocketfd=%d", sockfd);
        return -1;
    }
    const sockaddr_un local = localAddress(*addr);
    const int result =
        connect(sockfd, reinterpret_cast<const sockaddr*>(&local), static_cast<socklen_t>(addrLen));
    if (result < 0)
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_sock_connect: iRet=%d, errno=%d", result, errno);
    return result;
}

VXM_API int handle_socketOptError(int sockfd, int savedFlags) {
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(sockfd, SOL_SOCKET, SO_ERROR, &pending, &length) < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, " %d: errno=%d", __LINE__, errno);
        restoreFlags(sockfd, savedFlags);
        return -1;
    }
    if (pending == ETIMEDOUT) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, " %d: ETIMEDOUT", __LINE__);
        restoreFlags(sockfd, savedFlags);
        return 3;
    }
    if (pending == ECONNREFUSED) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, " %d: ECONNREFUSED", __LINE__);
        restoreFlags(sockfd, savedFlags);
        return -1;
    }
    if (pending == 0) {
        restoreFlags(sockfd, savedFlags);
        return 0;
    }
    VXM_LOG(VXM_LOG_ERROR, kModuleTag, " %d: unexcept error num", __LINE__);
    return 5;
}

VXM_API int VXM_sock_connectTimeOut(int sockfd, const VXM_SOCKADDR* pAddr, int timeoutMs) {
    VXM_CHECK_PARAM(pAddr);
    if (sockfd < 0 || timeoutMs <= 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "param error");
        return -1;
    }
    const SystemAddress target = systemAddress(*pAddr, false);

    const int savedFlags = fcntl(sockfd, F_GETFL);
    if (savedFlags < 0) VXM_LOG(VXM_LOG_ERROR, kModuleTag, "fcntl error");
    if (fcntl(sockfd, F_SETFL, savedFlags | O_NONBLOCK) < 0)
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "fcntl error");

    if (connect(sockfd, &target.any, target.size) == 0) {
        restoreFlags(sockfd, savedFlags);
        return 0;
    }
    if (errno != EINPROGRESS) {
        VXM_LOG(VXM_LOG_DEBUG, kModuleTag, " %d", __LINE__);
        restoreFlags(sockfd, savedFlags);
        return -1;
    }

    // A descriptor beyond the set cannot be watched; the count is kept within the set so that the
    // kernel never reads past it, and such a wait simply runs out.
    const bool watchable = sockfd < FD_SETSIZE;
    const int count = watchable ? sockfd + 1 : FD_SETSIZE;
    int restMs = timeoutMs;
    for (;;) {
        fd_set writeSet;
        FD_ZERO(&writeSet);
        if (watchable) FD_SET(sockfd, &writeSet);
        restMs -= kSliceMs;
        timeval slice{0, kSliceMs * 1000};
        const int ready = select(count, nullptr, &writeSet, nullptr, &slice);
        if (ready < 0) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, " %d: errno=%d", __LINE__, errno);
            restoreFlags(sockfd, savedFlags);
            return -1;
        }
        if (ready > 0 && watchable && FD_ISSET(sockfd, &writeSet)) {
            const int outcome = handle_socketOptError(sockfd, savedFlags);
            if (outcome != 5) return outcome;
        }
        if (restMs < 0) {
            VXM_LOG(VXM_LOG_INFO, kModuleTag, " %d: RestTime=%d", __LINE__, restMs);
            (void)fcntl(sockfd, F_SETFL, savedFlags);
            return 3;
        }
    }
}

VXM_API int VXM_sock_send(int sockfd, const void* buffer, int length, int flags) {
    if (buffer == nullptr || length <= 0) return -1;
    return static_cast<int>(send(sockfd, buffer, static_cast<size_t>(length), flags));
}

VXM_API int VXM_sock_recv(int sockfd, void* buffer, int length, int flags) {
    if (buffer == nullptr || length <= 0) return -1;
    return static_cast<int>(recv(sockfd, buffer, static_cast<size_t>(length), flags));
}

VXM_API int VXM_sock_sendto(int sockfd, const void* buffer, int length, int flags,
                            const VXM_SOCKADDR* pToSockaddr, int toLen) {
    VXM_CHECK_PARAM(pToSockaddr);
    if (buffer == nullptr || length <= 0 || sockfd < 0 || toLen < 0) return -1;
    const SystemAddress target = systemAddress(*pToSockaddr, true);
    return static_cast<int>(
        sendto(sockfd, buffer, static_cast<size_t>(length), flags, &target.any, target.size));
}

VXM_API int VXM_sock_recvfrom(int sockfd, void* buffer, int length, int flags, VXM_SOCKADDR* pFromAddr,
                              socklen_t* fromLen) {
    VXM_CHECK_PARAM(pFromAddr);
    if (buffer == nullptr || sockfd <= 0 || fromLen == nullptr || length <= 0) return -1;
    if (pFromAddr->family == VXM_SOCK_FAMILY_INET6) pFromAddr->family = AF_INET6;
    return static_cast<int>(recvfrom(sockfd, buffer, static_cast<size_t>(length), flags,
                                     reinterpret_cast<sockaddr*>(pFromAddr), fromLen));
}

VXM_API int VXM_sock_select(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                            int timeoutMs) {
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(nfds, readSet, writeSet, exceptSet, &timeout);
}

VXM_API int VXM_sock_getHostByName(char* out, const char* host) {
    if (out == nullptr || host == nullptr) return -1;
    unsigned int size = kHostBufferStart;
    char* work = static_cast<char*>(VXM_malloc(size));
    if (work == nullptr) return -1;
    hostent entry;
    hostent* result = nullptr;
    int hostError = 0;
    for (;;) {
        const int status = gethostbyname_r(host, &entry, work, size, &result, &hostError);
        size *= 2;
        if (status == ERANGE) {
            VXM_free(work);
            work = static_cast<char*>(VXM_malloc(size));
            if (work == nullptr) return -1;
            continue;
        }
        if (status != 0 || result == nullptr || result->h_addr_list[0] == nullptr ||
            result->h_addrtype != AF_INET) {
            VXM_free(work);
            return -1;
        }
        break;
    }
    (void)inet_ntop(AF_INET, result->h_addr_list[0], out, kTextSize);
    VXM_free(work);
    return 0;
}

VXM_API void VXM_sock_freeHostent(void* pointer) {
    if (pointer != nullptr) VXM_free(pointer);
}

VXM_API int VXM_sock_inetaddr(const char* text) {
    if (text == nullptr) return -1;
    in_addr parsed;
    if (inet_aton(text, &parsed) == 0) return -1;
    return static_cast<int>(parsed.s_addr);
}

VXM_API char* VXM_sock_inetntoa(struct in_addr addr) { return inet_ntoa(addr); }

VXM_API char* VXM_sock_inetntop(VXM_UINT32 addr) {
    t_ntopText[0] = '\0';
    in_addr value;
    value.s_addr = addr;
    return const_cast<char*>(inet_ntop(AF_INET, &value, t_ntopText, kTextSize));
}

VXM_API int VXM_sock_inetpton(int family, const char* text, void* dst) {
    if ((family != AF_INET && family != AF_INET6) || text == nullptr || dst == nullptr) return 0;
    return inet_pton(family, text, dst) == 1 ? 1 : 0;
}

VXM_API int VXM_sock_getsockname(int sockfd, struct sockaddr_in* addrV4,
                                 struct sockaddr_in6* addrV6, int* family) {
    if (family == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, " para is NULL");
        return -1;
    }
    sockaddr_in v4;
    std::memset(&v4, 0, sizeof v4);
    socklen_t length = sizeof v4;
    if (getsockname(sockfd, reinterpret_cast<sockaddr*>(&v4), &length) < 0) return -1;
    if (v4.sin_family == AF_INET && length == sizeof v4) {
        if (addrV4 == nullptr) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, " pAddrV4 is NULL");
            return -1;
        }
        std::memcpy(addrV4, &v4, sizeof v4);
        *family = AF_INET;
        return 0;
    }
    sockaddr_in6 v6;
    std::memset(&v6, 0, sizeof v6);
    length = sizeof v6;
    if (getsockname(sockfd, reinterpret_cast<sockaddr*>(&v6), &length) < 0) return -1;
    if (v6.sin6_family == AF_INET6 && length == sizeof v6) {
        if (addrV6 == nullptr) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, " pAddrV6 is NULL");
            return -1;
        }
        std::memcpy(addrV6, &v6, sizeof v6);
        *family = AF_INET6;
        return 0;
    }
    return -1;
}

VXM_API int VXM_sock_getpeername(int sockfd, struct sockaddr_in* addrV4,
                                 struct sockaddr_in6* addrV6, int* family) {
    if (addrV4 == nullptr && addrV6 == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, " pAddrV4 or pAddrV6 is NULL");
        return -1;
    }
    if (family == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "para is NULL!");
        return -1;
    }
    sockaddr_in v4;
    std::memset(&v4, 0, sizeof v4);
    socklen_t length = sizeof v4;
    if (getpeername(sockfd, reinterpret_cast<sockaddr*>(&v4), &length) < 0) return -1;
    if (addrV4 != nullptr && v4.sin_family == AF_INET && length == sizeof v4) {
        std::memcpy(addrV4, &v4, sizeof v4);
        *family = AF_INET;
        return 0;
    }
    sockaddr_in6 v6;
    std::memset(&v6, 0, sizeof v6);
    length = sizeof v6;
    if (getpeername(sockfd, reinterpret_cast<sockaddr*>(&v6), &length) < 0) return -1;
    if (addrV6 == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, " pAddrV6 is NULL");
        return -1;
    }
    if (v6.sin6_family == AF_INET6 && length == sizeof v6) {
        std::memcpy(addrV6, &v6, sizeof v6);
        *family = AF_INET6;
        return 0;
    }
    return -1;
}

}  // extern "C"
