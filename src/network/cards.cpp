// Card enumeration from the kernel's interface directory, the interface name helpers, the
// connection type and the address-text checks.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "network/network_internal.h"

using vxm::network::kModuleTag;

namespace {

constexpr char SEARCH_WIFIETH_PATH[] = "/sys/class/net";
constexpr char kDefaultIfrName[] = "eth0";
constexpr char kOpendirError[] = "opendir error, dir:%s";
constexpr char kParamError[] = "param error!";

std::atomic<VXM_INT32> g_connType{VXM_CONN_TYPE_STATIC};

// A directory stream closed on every path.
class Dir {
public:
    explicit Dir(DIR* dir) : dir_(dir) {}
    ~Dir() {
        if (dir_ != nullptr) closedir(dir_);
    }
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

bool startsWith(std::string_view name, std::string_view prefix) { return name.substr(0, prefix.size()) == prefix; }

// The card type an entry name gives, 0 for an entry that is not a card; "eth" is tested first.
VXM_UINT32 classify(std::string_view name) {
    if (startsWith(name, "eth")) return VXM_CARD_TYPE_WIRED;
    if (startsWith(name, "ra") || startsWith(name, "wlan")) return VXM_CARD_TYPE_WIRELESS;
    return VXM_CARD_TYPE_NONE;
}

std::string_view nameOf(const char (&name)[VXM_NETWORK_NAME_SIZE]) {
    return std::string_view(name, strnlen(name, VXM_NETWORK_NAME_SIZE));
}

void copyName(char (&dst)[VXM_NETWORK_NAME_SIZE], const char* src) {
    std::memset(dst, 0, sizeof dst);
    vxm::internal::formatTruncated(dst, sizeof dst, "%s", src);
}

// Copies at most size - 1 characters of name into buffer and terminates it.
int copyOut(std::string_view name, char* buffer, int size) {
    if (buffer == nullptr || size < 1) return -1;
    const std::size_t length = std::min(name.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, name.data(), length);
    buffer[length] = '\0';
    return 0;
}

}  // namespace

namespace vxm::network {

VXM_INT32 connectionType() noexcept { return g_connType.load(std::memory_order_relaxed); }

}  // namespace vxm::network

extern "C" {

int VXM_network_getCount(void) {
    Dir dir(opendir(SEARCH_WIFIETH_PATH));
    if (dir.get() == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kOpendirError, SEARCH_WIFIETH_PATH);
        return 0;
    }
    int count = 0;
    while (const dirent* entry = readdir(dir.get()))
        if (classify(entry->d_name) != VXM_CARD_TYPE_NONE) ++count;
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "count:%d", count);
    return count;
}

int VXM_network_getNetCards(VXM_NETWORK_CARD_INFO* cards, int* count) {
    if (cards == nullptr || count == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return -1;
    }
    DIR* dir = nullptr;
    VXM_CHECK(NULL != (dir = opendir(SEARCH_WIFIETH_PATH)), -1);
    Dir guard(dir);
    const int capacity = *count;
    int filled = 0;
    while (const dirent* entry = readdir(dir)) {
        if (filled >= capacity) break;
        VXM_UINT32 type = classify(entry->d_name);
        if (type == VXM_CARD_TYPE_NONE) continue;
        cards[filled].cardType = type;
        copyName(cards[filled].ifrName, entry->d_name);
        ++filled;
    }
    *count = filled;
    return 0;
}

int VXM_network_getWifiNetCards(VXM_NETWORK_CARD_INFO* card) {
    if (card == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return -1;
    }
    Dir dir(opendir(SEARCH_WIFIETH_PATH));
    if (dir.get() == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kOpendirError, SEARCH_WIFIETH_PATH);
        return -1;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) return -1;  // the end, or a reader error
        if (classify(entry->d_name) != VXM_CARD_TYPE_WIRELESS) continue;
        card->cardType = VXM_CARD_TYPE_WIRELESS;
        copyName(card->ifrName, entry->d_name);
        return 0;
    }
}

int VXM_network_netCardExist(const VXM_NETWORK_CARD_INFO* card, int* exists) {
    const VXM_NETWORK_CARD_INFO source = vxm::network::snapshot(card);
    if (exists == nullptr || source.ifrName[0] == '\0') {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "Invaild param,ifrname empty.");
        return -1;
    }
    *exists = 0;
    Dir dir(opendir(SEARCH_WIFIETH_PATH));
    if (dir.get() == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kOpendirError, SEARCH_WIFIETH_PATH);
        return 0;
    }
    const std::string_view wanted = nameOf(source.ifrName);
    while (const dirent* entry = readdir(dir.get())) {
        if (wanted == entry->d_name) {
            *exists = 1;
            break;
        }
    }
    return 0;
}

int VXM_network_getIfrName(char* buffer, int size) {
    const VXM_NETWORK_CARD_INFO source = vxm::network::snapshot(nullptr);
    return copyOut(source.ifrName[0] != '\0' ? nameOf(source.ifrName) : kDefaultIfrName, buffer, size);
}

int VXM_network_getIfrNameEx(const VXM_NETWORK_CARD_INFO* card, char* buffer, int size) {
    if (card == nullptr) return -1;
    return copyOut(nameOf(card->ifrName), buffer, size);
}

int VXM_network_getConnType(int* type) {
    if (type == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return -1;
    }
    *type = g_connType.load(std::memory_order_relaxed);
    return 0;
}

int VXM_network_setConnType(const char* text) {
    if (text == nullptr) return -1;
    struct Entry {
        const char* word;
        int number;  // the number texts count 1 PPPoE, 2 DHCP, 3 static
        VXM_INT32 code;
    };
    static constexpr Entry kTable[] = {
        {"Static", 3, VXM_CONN_TYPE_STATIC},
        {"DHCP", 2, VXM_CONN_TYPE_DHCP},
        {"PPPoE", 1, VXM_CONN_TYPE_PPPOE},
        {"IPoE", 0, VXM_CONN_TYPE_IPOE},
    };
    const int number = std::atoi(text);
    for (const Entry& entry : kTable) {
        if (std::strcmp(text, entry.word) == 0 || (entry.number != 0 && number == entry.number)) {
            g_connType.store(entry.code, std::memory_order_relaxed);
            vxm::network::storeWord(vxm::network::defaultCard().connType, static_cast<VXM_UINT32>(entry.code));
            return 0;
        }
    }
    return -1;
}

int VXM_isValidIPAddr(const char* text) {
    if (text == nullptr) return 0;
    unsigned char scratch[sizeof(in6_addr)] = {};
    const int family = std::strchr(text, ':') != nullptr ? AF_INET6 : AF_INET;
    return inet_pton(family, text, scratch) != 0 ? 1 : 0;
}

int VXM_network_isIPv4(const char* szIP) {
    VXM_CHECK(NULL != szIP, 0);
    unsigned char a = 0, b = 0, c = 0, d = 0;
    // clang-format off
    VXM_CHECK(sscanf_s(szIP,"%hhu.%hhu.%hhu.%hhu",&a,&b,&c,&d) == 4, 0);
    // clang-format on
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "IP is valid IPv4");
    return 1;
}

}  // extern "C"
