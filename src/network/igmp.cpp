// IGMP messages built by hand, IPv4 header with Router Alert included, and sent on a raw socket:
// the IGMPv2 Leave Group to the all-routers group and the IGMPv3 Membership Report that leaves or
// joins one group; and the kernel's forced IGMP version, written through the open daemon.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "network/network_internal.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_utility.h"

using vxm::network::kModuleTag;

namespace {

constexpr char kAllRouters[] = "224.0.0.2";
constexpr char kV3Routers[] = "224.0.0.22";
constexpr char kSourceProperty[] = "persist.sys.vxm.ipaddress";
constexpr int kAddressSize = 32;
constexpr std::size_t kHeaderSize = 24;  // 20 bytes and the Router Alert option
constexpr std::size_t kLeaveSize = 8;
constexpr std::size_t kReportSize = 16;  // the report's header and one group record
constexpr std::size_t kLeavePacket = kHeaderSize + kLeaveSize;
constexpr std::size_t kReportPacket = kHeaderSize + kReportSize;
constexpr unsigned char kTypeLeave = 0x17;
constexpr unsigned char kTypeReportV3 = 0x22;
constexpr unsigned char kChangeToInclude = 3;  // with no sources: leave
constexpr unsigned char kChangeToExclude = 4;  // with no sources: join

void putWord(unsigned char* at, std::uint16_t value) {
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value & 0xFF);
}

// The checksum is stored in the processor's order, as it was computed.
void putChecksum(unsigned char* at, const unsigned char* data, std::size_t size) {
    const std::uint16_t sum = VXM_network_checksum(data, size);
    std::memcpy(at, &sum, sizeof sum);
}

void buildHeader(unsigned char (&header)[kHeaderSize], std::size_t total, in_addr source, in_addr destination) {
    std::memset(header, 0, sizeof header);
    header[0] = 0x46;  // version 4, six words
    header[1] = 0xC0;
    putWord(header + 2, static_cast<std::uint16_t>(total));
    putWord(header + 6, 0x4000);  // don't fragment
    header[8] = 1;                // time to live
    header[9] = IPPROTO_IGMP;
    std::memcpy(header + 12, &source, 4);
    std::memcpy(header + 16, &destination, 4);
    header[20] = 0x94;  // Router Alert, length 4, value 0
    header[21] = 0x04;
    putChecksum(header + 10, header, sizeof header);
}

void buildLeave(unsigned char (&message)[kLeaveSize], in_addr group) {
    std::memset(message, 0, sizeof message);
    message[0] = kTypeLeave;
    std::memcpy(message + 4, &group, 4);
    putChecksum(message + 2, message, sizeof message);
}

void buildReport(unsigned char (&message)[kReportSize], in_addr group, unsigned int join) {
    std::memset(message, 0, sizeof message);
    message[0] = kTypeReportV3;
    putWord(message + 6, 1);  // one group record
    message[8] = join == 0 ? kChangeToInclude : kChangeToExclude;
    std::memcpy(message + 12, &group, 4);
    putChecksum(message + 2, message, sizeof message);
}

int openRawSocket() { return socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_IGMP); }

int includeHeader(int fd) {
    const int on = 1;
    return setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on);
}

ssize_t sendPacket(int fd, const unsigned char* packet, std::size_t size, in_addr destination) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = 0;
    to.sin_addr = destination;
    return sendto(fd, packet, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// The packet's two parts laid into its cleared buffer.
void layOut(unsigned char* packet, std::size_t size, const unsigned char* header, const unsigned char* message,
            std::size_t messageSize) {
    memset_s(packet, size, 0, size);
    memcpy_s(packet, size, header, kHeaderSize);
    memcpy_s(packet + kHeaderSize, size - kHeaderSize, message, messageSize);
}

}  // namespace

// Converts dotted-decimal text into an address; text that is not one is reported from the sender
// and gives 0.0.0.0, and the packet is still sent.
#define VXM_IGMP_ADDRESS(text, address)                                          \
    do {                                                                         \
        if (inet_pton(AF_INET, (text), &(address)) != 1) {                       \
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "INCORRECT IP ADDRESS!\n");       \
            (address).s_addr = 0;                                                \
        }                                                                        \
    } while (0)

int VXM_network_IGMPLeave(const char* mul_ip) {
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "enter VXM_network_IGMPLeave");
    if (mul_ip == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "param mul_ip is error");
        return -1;
    }
    char source[kAddressSize] = {};
    // A PPPoE link without the header switch leaves the source to the kernel.
    const bool kernelSource =
        vxm::network::connectionType() == VXM_CONN_TYPE_PPPOE && VXM_network_getPPPoeIPHeader() == 0;
    if (!kernelSource && (VXM_property_get(kSourceProperty, source, sizeof source) != 0 || source[0] == '\0')) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_property_get ip FAILD !!!");
        return -1;
    }
    auto* packet = static_cast<unsigned char*>(VXM_malloc(kLeavePacket));
    if (packet == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "malloc[errno=%d]", errno);
        return -1;
    }
    const int fd = openRawSocket();
    if (fd < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "create socket failed[errno=%d]", errno);
        VXM_free(packet);
        return -1;
    }
    const int set = includeHeader(fd);
    if (set < 0)
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_net_IGMPleave failed: setsockopt error[errno=%d]", errno);
    else
        VXM_LOG(VXM_LOG_INFO, kModuleTag, "VXM_net_IGMPleave success: setsockopt size = %d", set);

    in_addr group{}, from{}, to{};
    VXM_IGMP_ADDRESS(mul_ip, group);
    unsigned char message[kLeaveSize];
    buildLeave(message, group);
    VXM_IGMP_ADDRESS(source, from);
    VXM_IGMP_ADDRESS(kAllRouters, to);
    unsigned char header[kHeaderSize];
    buildHeader(header, kLeavePacket, from, to);
    layOut(packet, kLeavePacket, header, message, sizeof message);

    int result = 0;
    const ssize_t sent = sendPacket(fd, packet, kLeavePacket, to);
    if (sent < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_net_IGMPleave failed: send data error[errno=%d]", errno);
        result = -1;
    } else {
        VXM_LOG(VXM_LOG_INFO, kModuleTag, "VXM_net_IGMPleave success: send data size = %d", static_cast<int>(sent));
    }
    close(fd);
    VXM_free(packet);
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "leave VXM_network_IGMPLeave");
    return result;
}

int VXM_network_IGMPLeave2(const char* mul_ip) {
    if (mul_ip == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "param mul_ip is error");
        return -1;
    }
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "enter VXM_network_IGMPLeave2");
    char source[kAddressSize] = {};
    if (VXM_network_getIpAddr(nullptr, source, sizeof source) == -1) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "Failed to the VXM_network_getIpAddr");
        return -1;
    }
    auto* packet = static_cast<unsigned char*>(VXM_malloc(kLeavePacket));
    if (packet == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "malloc[errno=%d]", errno);
        return -1;
    }
    const int fd = openRawSocket();
    if (fd < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "create socket failed[errno=%d]", errno);
        VXM_free(packet);
        return -1;
    }
    includeHeader(fd);  // a failure shows at the send

    in_addr group{}, from{}, to{};
    VXM_IGMP_ADDRESS(mul_ip, group);
    unsigned char message[kLeaveSize];
    buildLeave(message, group);
    VXM_IGMP_ADDRESS(source, from);
    VXM_IGMP_ADDRESS(kAllRouters, to);
    unsigned char header[kHeaderSize];
    buildHeader(header, kLeavePacket, from, to);
    layOut(packet, kLeavePacket, header, message, sizeof message);

    int result = 0;
    const ssize_t sent = sendPacket(fd, packet, kLeavePacket, to);
    if (sent < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_net_IGMPleave failed: send data error[errno=%d]", errno);
        result = -1;
    } else {
        VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM_net_IGMPleave success: send data size = %d", static_cast<int>(sent));
    }
    close(fd);
    VXM_free(packet);
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "leave VXM_network_IGMPLeave2");
    return result;
}

int VXM_network_IGMPLeave3(const char* mul_ip, unsigned int join) {
    if (mul_ip == nullptr) return -1;
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "enter VXM_network_IGMPLeave3");
    char source[kAddressSize] = {};
    if (VXM_network_getIpAddr(nullptr, source, sizeof source) == -1) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "Failed to the VXM_network_getIpAddr");
        return -1;
    }
    in_addr group{}, from{}, to{};
    VXM_IGMP_ADDRESS(mul_ip, group);
    unsigned char message[kReportSize];
    buildReport(message, group, join);
    VXM_IGMP_ADDRESS(source, from);
    VXM_IGMP_ADDRESS(kV3Routers, to);
    unsigned char header[kHeaderSize];
    buildHeader(header, kReportPacket, from, to);

    auto* packet = static_cast<unsigned char*>(VXM_malloc(kReportPacket));
    if (packet == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "malloc[errno=%d]", errno);
        return -1;
    }
    layOut(packet, kReportPacket, header, message, sizeof message);

    bool sent = false;
    const int fd = openRawSocket();
    if (fd < 0)
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "create socket failed![errno=%d]", errno);
    else if (includeHeader(fd) < 0)
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "setsockopt failed![errno=%d]", errno);
    else if (sendPacket(fd, packet, kReportPacket, to) < 0)
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "sendto[errno=%d]", errno);
    else
        sent = true;
    if (fd >= 0) close(fd);
    VXM_free(packet);
    if (!sent) {
        VXM_LOG(VXM_LOG_INFO, kModuleTag, "leave VXM_network_IGMPLeave3");
        return -1;
    }
    VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "Success to the VXM_net_IGMPJoin");
    return 0;
}

int VXM_network_IGMPSetVersion(int version) {
    VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "set igmp version is [%d]", version);
    if (version == 2) return actShellCmd("echo \"2\" > /proc/sys/net/ipv4/conf/all/force_igmp_version");
    if (version == 3) return actShellCmd("echo \"3\" > /proc/sys/net/ipv4/conf/all/force_igmp_version");
    return -1;
}
