// IGMP messages built by hand, IPv4 header with Router Alert included, and sent on a raw socket:
// the IGMPv2 Leave Group to the all-routers group and the IGMPv3 Membership Report that leaves or
// joins one group; and the kernel's forced IGMP version, written through the open daemon.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

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

// The packet buffer, released through VXM_free on every path.
struct BlockRelease {
    void operator()(unsigned char* block) const { VXM_free(block); }
};
using Packet = std::unique_ptr<unsigned char, BlockRelease>;

// Exactly size bytes from VXM_malloc, cleared; null when there is no memory (errno tells why).
Packet takePacket(std::size_t size) {
    Packet packet(static_cast<unsigned char*>(VXM_malloc(static_cast<unsigned int>(size))));
    if (packet) memset_s(packet.get(), size, 0, size);
    return packet;
}

// A raw IGMP socket, closed on every path.
class RawSocket : public vxm::internal::UniqueFd {
public:
    RawSocket() : UniqueFd(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_IGMP)) {}

    // The kernel sends the header as built.
    int includeHeader() const {
        const int on = 1;
        return setsockopt(get(), IPPROTO_IP, IP_HDRINCL, &on, sizeof on);
    }

    ssize_t send(const Packet& packet, std::size_t size, in_addr destination) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = 0;
        to.sin_addr = destination;
        return sendto(get(), packet.get(), size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
};

// Converts dotted-decimal text; text that is not an address gives 0.0.0.0 and counts in *failed.
in_addr convert(const char* text, int* failed) {
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1) {
        address.s_addr = 0;
        ++*failed;
    }
    return address;
}

// The parts of a packet in its buffer and where it goes; failed counts the texts that were no address.
struct Built {
    in_addr destination{};
    int failed = 0;
};

// The message first, then the header that carries it, each with its checksum.
Built buildLeavePacket(const Packet& packet, const char* group, const char* source) {
    Built built;
    unsigned char message[kLeaveSize];
    buildLeave(message, convert(group, &built.failed));
    const in_addr from = convert(source, &built.failed);
    built.destination = convert(kAllRouters, &built.failed);
    unsigned char header[kHeaderSize];
    buildHeader(header, kLeavePacket, from, built.destination);
    memcpy_s(packet.get(), kLeavePacket, header, kHeaderSize);
    memcpy_s(packet.get() + kHeaderSize, kLeavePacket - kHeaderSize, message, sizeof message);
    return built;
}

// The report's two parts, built before its buffer is taken.
struct BuiltReport : Built {
    unsigned char header[kHeaderSize];
    unsigned char message[kReportSize];
};

BuiltReport buildReportParts(const char* group, unsigned int join, const char* source) {
    BuiltReport built;
    buildReport(built.message, convert(group, &built.failed), join);
    const in_addr from = convert(source, &built.failed);
    built.destination = convert(kV3Routers, &built.failed);
    buildHeader(built.header, kReportPacket, from, built.destination);
    return built;
}

}  // namespace

// Each text that was no address is reported from the sender itself.
#define VXM_REPORT_BAD_ADDRESSES(built)                                          \
    do {                                                                         \
        for (int vxmBad_ = (built).failed; vxmBad_ > 0; --vxmBad_)               \
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "INCORRECT IP ADDRESS!\n");       \
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
    int result = 0;
    {
        Packet packet = takePacket(kLeavePacket);
        if (!packet) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "malloc[errno=%d]", errno);
            return -1;
        }
        RawSocket sock;
        if (!sock.ok()) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "create socket failed[errno=%d]", errno);
            return -1;
        }
        const int set = sock.includeHeader();
        if (set < 0)
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_net_IGMPleave failed: setsockopt error[errno=%d]", errno);
        else
            VXM_LOG(VXM_LOG_INFO, kModuleTag, "VXM_net_IGMPleave success: setsockopt size = %d", set);
        const Built built = buildLeavePacket(packet, mul_ip, source);
        VXM_REPORT_BAD_ADDRESSES(built);
        const ssize_t sent = sock.send(packet, kLeavePacket, built.destination);
        if (sent < 0) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_net_IGMPleave failed: send data error[errno=%d]", errno);
            result = -1;
        } else {
            VXM_LOG(VXM_LOG_INFO, kModuleTag, "VXM_net_IGMPleave success: send data size = %d", static_cast<int>(sent));
        }
    }
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
    int result = 0;
    {
        Packet packet = takePacket(kLeavePacket);
        if (!packet) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "malloc[errno=%d]", errno);
            return -1;
        }
        RawSocket sock;
        if (!sock.ok()) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "create socket failed[errno=%d]", errno);
            return -1;
        }
        sock.includeHeader();  // a failure shows at the send
        const Built built = buildLeavePacket(packet, mul_ip, source);
        VXM_REPORT_BAD_ADDRESSES(built);
        const ssize_t sent = sock.send(packet, kLeavePacket, built.destination);
        if (sent < 0) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_net_IGMPleave failed: send data error[errno=%d]", errno);
            result = -1;
        } else {
            VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM_net_IGMPleave success: send data size = %d", static_cast<int>(sent));
        }
    }
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
    const BuiltReport built = buildReportParts(mul_ip, join, source);
    VXM_REPORT_BAD_ADDRESSES(built);
    bool sent = false;
    {
        Packet packet = takePacket(kReportPacket);
        if (!packet) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "malloc[errno=%d]", errno);
            return -1;
        }
        memcpy_s(packet.get(), kReportPacket, built.header, kHeaderSize);
        memcpy_s(packet.get() + kHeaderSize, kReportPacket - kHeaderSize, built.message, kReportSize);
        RawSocket sock;
        if (!sock.ok())
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "create socket failed![errno=%d]", errno);
        else if (sock.includeHeader() < 0)
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "setsockopt failed![errno=%d]", errno);
        else if (sock.send(packet, kReportPacket, built.destination) < 0)
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "sendto[errno=%d]", errno);
        else
            sent = true;
    }
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
