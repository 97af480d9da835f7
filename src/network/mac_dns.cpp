// MAC addresses as text (with the PPPoE card's substitution), DNS servers in the system
// properties, and the PPPoE header switch.
#include <net/if_arp.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "network/network_internal.h"
#include "vxmosal/VXM_utility.h"

using vxm::network::kModuleTag;

namespace {

constexpr int kMacTextMin = 18;  // the colon form and its terminator; both forms ask for it
constexpr char kPppoeName[] = "ppp0";
constexpr char kColonForm[] = "%02X:%02X:%02X:%02X:%02X:%02X";
constexpr char kDigitsForm[] = "%02X%02X%02X%02X%02X%02X";
constexpr std::size_t kDnsKeySize = 64;
constexpr int kDnsReadable = 2;  // "net.dns1" and "net.dns2"

std::atomic<int> g_pppoeHeader{0};

enum class MacStatus { Ok, NoSocket, RequestFailed };

struct MacQuery {
    MacStatus status = MacStatus::Ok;
    int error = 0;
    bool substituted = false;                // the card is "ppp0": its ifrExtName was asked
    char name[VXM_NETWORK_NAME_SIZE] = {};  // the interface asked
    unsigned char mac[6] = {};
};

// Asks for the hardware address of name, or of substitute when name is "ppp0" and one is given.
MacQuery queryMac(const char* name, const char* substitute) {
    MacQuery query;
    std::memcpy(query.name, name, strnlen(name, vxm::network::kNameMax));
    if (substitute != nullptr && std::strcmp(query.name, kPppoeName) == 0) {
        std::memset(query.name, 0, sizeof query.name);
        std::memcpy(query.name, substitute, strnlen(substitute, vxm::network::kNameMax));
        query.substituted = true;
    }
    vxm::network::RequestSocket sock;
    if (!sock.ok()) {
        query.status = MacStatus::NoSocket;
        query.error = errno;
        return query;
    }
    ifreq request = vxm::network::interfaceRequest(query.name);
    if (ioctl(sock.get(), SIOCGIFHWADDR, &request) < 0) {
        query.status = MacStatus::RequestFailed;
        query.error = errno;
        return query;
    }
    std::memcpy(query.mac, request.ifr_hwaddr.sa_data, sizeof query.mac);
    return query;
}

int formatMac(const MacQuery& query, const char* form, char* buffer, int size) {
    if (query.status != MacStatus::Ok) return -1;
    const unsigned char* m = query.mac;
    vxm::internal::formatTruncated(buffer, static_cast<std::size_t>(size), form, m[0], m[1], m[2], m[3], m[4], m[5]);
    return 0;
}

}  // namespace

// Logs a MAC query's outcome from the function that expands it, so that its name is reported.
#define VXM_REPORT_MAC_QUERY(query)                                                                    \
    do {                                                                                               \
        if ((query).substituted)                                                                       \
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "PPPoE not have Mac address, use %s", (query).name);   \
        if ((query).status == MacStatus::NoSocket)                                                     \
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "create socket error,errno = %d,get mac failed.",       \
                    (query).error);                                                                    \
        else if ((query).status == MacStatus::RequestFailed)                                           \
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "ioctl error,errno = %d,get mac failed.", (query).error); \
    } while (0)

extern "C" {

// The body of both card MAC functions, expanded in each so that its messages carry its name.
#define VXM_CARD_MAC_TEXT(card, buffer, size, form)                                          \
    do {                                                                                     \
        const VXM_NETWORK_CARD_INFO source = vxm::network::snapshot(card);                   \
        if (source.ifrName[0] == '\0' || (buffer) == nullptr || (size) < kMacTextMin) {     \
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "Invaild param.");                            \
            return -1;                                                                       \
        }                                                                                    \
        const MacQuery query = queryMac(source.ifrName, source.ifrExtName);                  \
        VXM_REPORT_MAC_QUERY(query);                                                         \
        return formatMac(query, (form), (buffer), (size));                                   \
    } while (0)

int VXM_network_getMacAddr(const VXM_NETWORK_CARD_INFO* card, char* buffer, int size) {
    VXM_CARD_MAC_TEXT(card, buffer, size, kColonForm);
}

int VXM_network_getMacAddrOnlyNum(const VXM_NETWORK_CARD_INFO* card, char* buffer, int size) {
    VXM_CARD_MAC_TEXT(card, buffer, size, kDigitsForm);
}

int VXM_network_getEth0MacAddr(char* buffer, int size) {
    if (buffer == nullptr || size < 1) return -1;
    const MacQuery query = queryMac("eth0", nullptr);
    VXM_REPORT_MAC_QUERY(query);
    return formatMac(query, kColonForm, buffer, size);
}

int VXM_network_setDNS(const char* const* servers, int count) {
    if (servers == nullptr || count <= 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_network_setDNS arguments error.");
        return -1;
    }
    for (int i = 1; i <= count; ++i) {
        if (servers[i - 1] == nullptr) {
            VXM_LOG(VXM_LOG_WARN, kModuleTag, "aszDNS[%d] is null.", i - 1);
            continue;
        }
        char key[kDnsKeySize];
        vxm::internal::formatTruncated(key, sizeof key, "net.dns%d", i);
        VXM_property_set(key, servers[i - 1]);
    }
    return 0;
}

int VXM_network_getDNS(char* buffer, int index, int size) {
    if (buffer == nullptr || index < 0 || index >= kDnsReadable) return -1;
    char key[kDnsKeySize];
    vxm::internal::formatTruncated(key, sizeof key, "net.dns%d", index + 1);
    VXM_property_get(key, buffer, size > 0 ? static_cast<unsigned int>(size) : 0u);
    return 0;
}

int VXM_network_setPPPoeIPHeader(int value) {
    g_pppoeHeader.store(value, std::memory_order_relaxed);
    return 0;
}

int VXM_network_getPPPoeIPHeader(void) { return g_pppoeHeader.load(std::memory_order_relaxed); }

}  // extern "C"
