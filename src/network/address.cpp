// A card's IPv4 address and netmask (interface requests) and its first IPv6 address that is not
// link-local (the kernel's address table), as text.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "network/network_internal.h"

using vxm::network::kModuleTag;

namespace {

constexpr char kInvalidParam[] = "Invaild param.";
constexpr char kSocketError[] = "create socket error,errno = %d.";
constexpr char kInet6Path[] = "/proc/net/if_inet6";
constexpr std::size_t kGroups = 8;
constexpr std::size_t kGroupSize = 5;   // four hexadecimal characters
constexpr std::size_t kDeviceSize = 9;  // the table's device names are read up to 8 characters
constexpr std::size_t kLineSize = 256;

// The IPv4 address of an interface request as text; a buffer too short keeps what it held.
void addressText(const ifreq& request, char* buffer, int length) {
    const auto* address = reinterpret_cast<const sockaddr_in*>(&request.ifr_addr);
    inet_ntop(AF_INET, &address->sin_addr, buffer, static_cast<socklen_t>(length));
}

int getNetMask(const char* pszIfrName, char* buffer, int length) {
    if (length == 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "pszIfrName= NULL");
        return -1;
    }
    vxm::network::RequestSocket sock;
    if (!sock.ok()) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kSocketError, errno);
        return -1;
    }
    ifreq request = vxm::network::interfaceRequest(pszIfrName);
    if (ioctl(sock.get(), SIOCGIFNETMASK, &request) < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "create ioctl error,errno = %d.", errno);
        return -1;
    }
    const auto* mask = reinterpret_cast<const sockaddr_in*>(&request.ifr_netmask);
    inet_ntop(AF_INET, &mask->sin_addr, buffer, static_cast<socklen_t>(length));
    return 0;
}

}  // namespace

namespace vxm::network {

int parse_inet_file(std::FILE* file, const char* name, char* buffer, int length) noexcept {
    char group[kGroups][kGroupSize] = {};
    char device[kDeviceSize];
    unsigned int index, prefix, scope, flags;
    char line[kLineSize];
    // One line at a time, so that a longer device name cannot carry into the next line.
    while (std::fgets(line, sizeof line, file) != nullptr) {
        device[0] = '\0';
        int end = 0;
        int fields = std::sscanf(line, "%4s%4s%4s%4s%4s%4s%4s%4s %08x %02x %02x %02x %8s%n", group[0], group[1],
                                 group[2], group[3], group[4], group[5], group[6], group[7], &index, &prefix,
                                 &scope, &flags, device, &end);
        // A device name longer than 8 characters is not the 8 characters read of it.
        const bool whole = end > 0 && (line[end] == '\0' || line[end] == '\n' || line[end] == ' ');
        if (fields != 13 || !whole || std::strncmp(device, name, kDeviceSize) != 0) continue;
        if (std::strncmp(group[0], "fe80", 4) == 0 || std::strncmp(group[0], "FE80", 4) == 0) continue;
        vxm::internal::formatTruncated(buffer, static_cast<std::size_t>(length), "%s:%s:%s:%s:%s:%s:%s:%s",
                                       group[0], group[1], group[2], group[3], group[4], group[5], group[6],
                                       group[7]);
        return 0;
    }
    VXM_LOG(VXM_LOG_ERROR, kModuleTag, "find ipv6 addr failed!!");
    return -1;
}

}  // namespace vxm::network

extern "C" {

int VXM_network_getIpAddr(const VXM_NETWORK_CARD_INFO* card, char* buffer, int length) {
    const VXM_NETWORK_CARD_INFO source = vxm::network::snapshot(card);
    if (source.ifrName[0] == '\0' || buffer == nullptr || length <= 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kInvalidParam);
        return -1;
    }
    char name[VXM_NETWORK_NAME_SIZE];
    VXM_network_getIfrNameEx(&source, name, sizeof name);
    vxm::network::RequestSocket sock;
    if (!sock.ok()) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kSocketError, errno);
        return -1;
    }
    ifreq request = vxm::network::interfaceRequest(name);
    if (ioctl(sock.get(), SIOCGIFADDR, &request) < 0) {
        int error = errno;
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "failed to read %s IP, ioctl error: %s.", name, std::strerror(error));
        return -1;
    }
    addressText(request, buffer, length);
    return 0;
}

int VXM_network_getNetMask(const VXM_NETWORK_CARD_INFO* card, char* buffer, int length) {
    const VXM_NETWORK_CARD_INFO source = vxm::network::snapshot(card);
    if (source.ifrName[0] == '\0' || buffer == nullptr || length < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kInvalidParam);
        return -1;
    }
    char name[VXM_NETWORK_NAME_SIZE];
    VXM_network_getIfrNameEx(&source, name, sizeof name);
    return getNetMask(name, buffer, length);
}

int VXM_network_getIpv6Addr(const VXM_NETWORK_CARD_INFO* card, char* pszIpAddr, int iLen) {
    VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "Enter VXM_network_getIpv6Addr");
    const VXM_NETWORK_CARD_INFO source = vxm::network::snapshot(card);
    const VXM_NETWORK_CARD_INFO* pTempNetworkCard = &source;
    VXM_CHECK(pTempNetworkCard && '\0' != pTempNetworkCard->ifrName[0] && pszIpAddr && iLen > 0, -1);
    char name[VXM_NETWORK_NAME_SIZE];
    VXM_network_getIfrNameEx(pTempNetworkCard, name, sizeof name);
    std::FILE* file = std::fopen(kInet6Path, "re");
    if (file == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "fopen /proc/net/if_inet6 failed!!");
        return -1;
    }
    int result = vxm::network::parse_inet_file(file, name, pszIpAddr, iLen);
    std::fclose(file);
    return result;
}

}  // extern "C"
