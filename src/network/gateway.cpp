// A card's IPv4 default gateway: from a netlink dump of every route below release class 5, from
// the ip tool's listing of the card's own routing table (run by the open daemon) from class 5 on.
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "internal/unique_fd.h"
#include "network/network_internal.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_process.h"

using vxm::network::kModuleTag;

namespace {

constexpr int VXM_RECV_BUFSIZE = 8192;  // the whole dump must fit: there is no second buffer
constexpr int kNetlinkPathMaxClass = 4;
constexpr char kInvalidParam[] = "Invaild param.";
constexpr char kGatewayError[] = "get gateway error.";
constexpr char kGatewayFile[] = "/tmp/Gateway";
constexpr std::size_t kCommandSize = 128;
constexpr std::size_t kLineSize = 256;
constexpr std::size_t kDeviceSize = 128;
// The listing must be complete before the file is read; a command that hangs is not waited for
// longer than the channel waits for its reply.
constexpr int kCommandWaitMs = 3000;

struct RouteInfo {
    in_addr dstAddr;
    in_addr srcAddr;
    in_addr gateWay;
    char ifName[IF_NAMESIZE];
};

// Receives the dump into bufPtr, each datagram after the one before, up to the end-of-dump message
// or a datagram that is not part of a multi-part reply. Once the buffer is full the next receive
// asks for nothing and fails the header check. Returns the bytes counted, or -1.
int VXM_net_readNlSock(int sockFd, char* bufPtr) {
    int readLen = 0;
    int msgLen = 0;
    for (;;) {
        VXM_CHECK((readLen = recv(sockFd, bufPtr, VXM_RECV_BUFSIZE - msgLen, 0)) >= 0, -1);
        // A datagram of a length that is not a multiple of 4 leaves the next one unaligned: its
        // header is read through a copy.
        nlmsghdr header{};
        std::memcpy(&header, bufPtr, std::min<std::size_t>(static_cast<std::size_t>(readLen), sizeof header));
        const nlmsghdr* nlHdr = &header;  // the check's message names it
        VXM_CHECK(NLMSG_OK(nlHdr, (VXM_UINT32)readLen) && nlHdr->nlmsg_type != NLMSG_ERROR, -1);
        if (nlHdr->nlmsg_type == NLMSG_DONE) break;
        bufPtr += readLen;
        msgLen += readLen;
        if ((nlHdr->nlmsg_flags & NLM_F_MULTI) == 0) break;
    }
    return msgLen;
}

// The standard message walk's test, for a remainder that alignment may take below zero.
bool messageFits(const nlmsghdr* nlHdr, int len) {
    return len >= static_cast<int>(sizeof(nlmsghdr)) && nlHdr->nlmsg_len >= sizeof(nlmsghdr) &&
           nlHdr->nlmsg_len <= static_cast<unsigned int>(len);
}

void copyAddress(in_addr& dst, const rtattr* attribute) {
    std::memcpy(&dst, RTA_DATA(attribute), std::min<std::size_t>(RTA_PAYLOAD(attribute), sizeof dst));
}

// One route of the dump into route; false for a route of another family or table.
bool parseRoute(const nlmsghdr* nlHdr, RouteInfo& route) {
    const auto* rtMsg = static_cast<const rtmsg*>(NLMSG_DATA(nlHdr));
    if (rtMsg->rtm_family != AF_INET || rtMsg->rtm_table != RT_TABLE_MAIN) return false;
    int rtLen = static_cast<int>(RTM_PAYLOAD(nlHdr));
    for (const rtattr* attribute = RTM_RTA(rtMsg); RTA_OK(attribute, rtLen); attribute = RTA_NEXT(attribute, rtLen)) {
        switch (attribute->rta_type) {
            case RTA_DST: copyAddress(route.dstAddr, attribute); break;
            case RTA_GATEWAY: copyAddress(route.gateWay, attribute); break;
            case RTA_PREFSRC: copyAddress(route.srcAddr, attribute); break;
            case RTA_OIF:
                if (RTA_PAYLOAD(attribute) >= sizeof(int)) {
                    int index = 0;
                    std::memcpy(&index, RTA_DATA(attribute), sizeof index);
                    if (if_indextoname(static_cast<unsigned int>(index), route.ifName) == nullptr) route.ifName[0] = '\0';
                }
                break;
            default: break;
        }
    }
    return true;
}

// What a way of finding the gateway ran into; the exported function reports it.
enum class Outcome { Done, NoSocket, Failed, NoFile, EmptyFile };

Outcome netlinkGateway(const char* name, char* buffer, int length) {
    vxm::internal::UniqueFd sock(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!sock.ok()) return Outcome::NoSocket;
    alignas(nlmsghdr) char request[NLMSG_SPACE(sizeof(rtmsg))] = {};
    auto* nlMsg = reinterpret_cast<nlmsghdr*>(request);
    nlMsg->nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    nlMsg->nlmsg_type = RTM_GETROUTE;
    nlMsg->nlmsg_flags = NLM_F_DUMP | NLM_F_REQUEST;
    nlMsg->nlmsg_seq = 0;
    nlMsg->nlmsg_pid = static_cast<__u32>(getpid());
    if (send(sock.get(), nlMsg, nlMsg->nlmsg_len, 0) < 0) return Outcome::Failed;
    return vxm::network::routeDumpGateway(sock.get(), name, buffer, length) ? Outcome::Done : Outcome::Failed;
}

Outcome listingGateway(const char* name, char* buffer, int length) {
    char command[kCommandSize];
    vxm::internal::formatTruncated(command, sizeof command, "ip route list table %s > /tmp/Gateway", name);
    actShellCmd(command, kCommandWaitMs);
    char modeCommand[kCommandSize];
    vxm::internal::formatTruncated(modeCommand, sizeof modeCommand, "chmod 644 %s", kGatewayFile);
    actShellCmd(modeCommand, kCommandWaitMs);
    std::FILE* file = std::fopen(kGatewayFile, "re");
    if (file == nullptr) return Outcome::NoFile;
    char line[kLineSize] = {};
    if (std::fgets(line, sizeof line, file) == nullptr) {
        std::fclose(file);
        return Outcome::EmptyFile;
    }
    // "default via %s dev %s", each word bounded by its buffer; the line buffer holds any word.
    char word[kLineSize] = {};
    char device[kDeviceSize] = {};
    if (sscanf_s(line, "default via %255s dev %127s", word, device) >= 1)
        vxm::internal::copyText(buffer, static_cast<std::size_t>(length), word, sizeof word);  // a word that does not fit: empty
    std::fclose(file);
    return Outcome::Done;
}

}  // namespace

namespace vxm::network {

bool routeDumpGateway(int sock, const char* name, char* buffer, int length) noexcept {
    alignas(nlmsghdr) char msgBuf[VXM_RECV_BUFSIZE];
    std::memset(msgBuf, 0, sizeof msgBuf);
    int len = VXM_net_readNlSock(sock, msgBuf);
    if (len < 0) return false;
    auto* route = static_cast<RouteInfo*>(VXM_malloc(sizeof(RouteInfo)));
    if (route == nullptr) return false;
    for (const nlmsghdr* nlHdr = reinterpret_cast<const nlmsghdr*>(msgBuf); messageFits(nlHdr, len);
         nlHdr = NLMSG_NEXT(nlHdr, len)) {
        std::memset(route, 0, sizeof *route);
        if (!parseRoute(nlHdr, *route)) continue;
        char destination[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &route->dstAddr, destination, sizeof destination);
        if (std::strstr(destination, "0.0.0.0") != nullptr && std::strcmp(route->ifName, name) == 0)
            inet_ntop(AF_INET, &route->gateWay, buffer, static_cast<socklen_t>(length));
    }
    VXM_free(route);
    return true;
}

}  // namespace vxm::network

extern "C" {

int VXM_network_getGateway(const VXM_NETWORK_CARD_INFO* card, char* buffer, int length) {
    const VXM_NETWORK_CARD_INFO source = vxm::network::snapshot(card);
    if (source.ifrName[0] == '\0' || buffer == nullptr || length <= 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kInvalidParam);
        return -1;
    }
    char name[VXM_NETWORK_NAME_SIZE] = {};
    VXM_network_getIfrNameEx(&source, name, sizeof name);
    const Outcome outcome = VXM_utl_get_os_type() <= kNetlinkPathMaxClass ? netlinkGateway(name, buffer, length)
                                                                          : listingGateway(name, buffer, length);
    switch (outcome) {
        case Outcome::Done: return 0;
        case Outcome::NoSocket: VXM_LOG(VXM_LOG_ERROR, kModuleTag, "create socket error,error = %d", errno); break;
        case Outcome::Failed: VXM_LOG(VXM_LOG_ERROR, kModuleTag, kGatewayError); break;
        case Outcome::NoFile: VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM open gateway file err"); break;
        case Outcome::EmptyFile: VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM gateway file is empty"); break;
    }
    return -1;
}

}  // extern "C"
