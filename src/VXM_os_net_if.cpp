// Queries about the box's own interface, chosen from the network module's default card. Each opens
// a throw-away datagram socket through the socket wrappers and closes it on every path.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cstring>

#include "internal/safe_string.h"
#include "network/network_internal.h"
#include "vxmosal/VXM_os_net.h"

namespace {

constexpr std::size_t kCacheSize = 128;
constexpr std::size_t kTextSize = 16;
constexpr std::size_t kMacTextSize = 18;

// The last address VXM_sock_getIp obtained; plain unlocked data, each byte stored relaxed.
char g_lastIp[kCacheSize];

void giveCached(char* out) {
    std::size_t i = 0;
    for (; i + 1 < kTextSize; ++i) {
        out[i] = __atomic_load_n(&g_lastIp[i], __ATOMIC_RELAXED);
        if (out[i] == '\0') return;
    }
    out[i] = '\0';
}

void cache(const char* text) {
    const std::size_t length = strnlen(text, kCacheSize - 1);
    for (std::size_t i = 0; i < kCacheSize; ++i)
        __atomic_store_n(&g_lastIp[i], i < length ? text[i] : '\0', __ATOMIC_RELAXED);
}

// The interface meant by the selector: for PPPoE the PPP interface itself only with selector 1.
void chosenName(int selector, char (&name)[VXM_NETWORK_NAME_SIZE]) {
    const VXM_NETWORK_CARD_INFO card = vxm::network::snapshot(nullptr);
    const char* source =
        card.connType == VXM_CONN_TYPE_PPPOE && selector != 1 ? card.ifrExtName : card.ifrName;
    std::memset(name, 0, sizeof name);
    std::memcpy(name, source, strnlen(source, VXM_NETWORK_NAME_SIZE - 1));
}

// A datagram socket for interface requests, closed through the wrappers.
class QuerySocket {
public:
    QuerySocket() : fd_(VXM_sock_socket(0, 2)) {}
    ~QuerySocket() {
        if (fd_ >= 0) VXM_sock_close(fd_);
    }
    QuerySocket(const QuerySocket&) = delete;
    QuerySocket& operator=(const QuerySocket&) = delete;
    bool ok() const { return fd_ >= 0; }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

extern "C" {

VXM_API int VXM_sock_getIp(char* out, int selector, unsigned int* index) {
    if (out == nullptr) return -1;
    QuerySocket sock;
    if (!sock.ok()) {
        giveCached(out);
        return 0;
    }
    char name[VXM_NETWORK_NAME_SIZE];
    chosenName(selector, name);
    ifreq request = vxm::network::interfaceRequest(name);
    if (index != nullptr) *index = if_nametoindex(name);
    if (VXM_sock_ioctl(sock.get(), SIOCGIFADDR, &request) < 0) {
        giveCached(out);
        return 0;
    }
    const auto* address = reinterpret_cast<const sockaddr_in*>(&request.ifr_addr);
    inet_ntop(AF_INET, &address->sin_addr, out, kTextSize);
    cache(out);
    return 0;
}

VXM_API int VXM_sock_getInterfaceName(char* out, unsigned int size, int selector) {
    if (out == nullptr || size <= 15) return 1;
    char name[VXM_NETWORK_NAME_SIZE];
    chosenName(selector, name);
    return vxm::internal::formatTruncated(out, size, "%s", name);
}

VXM_API unsigned int VXM_sock_getInterfaceIdx(int selector) {
    char name[VXM_NETWORK_NAME_SIZE] = {};
    VXM_sock_getInterfaceName(name, sizeof name, selector);
    return name[0] == '\0' ? 0 : if_nametoindex(name);
}

VXM_API int VXM_sock_getMac(char* out) {
    if (out == nullptr) return -1;
    QuerySocket sock;
    if (!sock.ok()) return -1;
    ifreq request = vxm::network::interfaceRequest("eth0");
    if (VXM_sock_ioctl(sock.get(), SIOCGIFHWADDR, &request) < 0) return -1;
    const auto* bytes = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    for (int i = 0; i < 5; ++i) snprintf_s(out + 3 * i, 4, "%.2x:", bytes[i]);
    snprintf_s(out + 15, kMacTextSize - 15, "%.2x", bytes[5]);
    return 0;
}

}  // extern "C"
