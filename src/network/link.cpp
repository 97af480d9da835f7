// Link properties: cable (running) and activity (up) state by interface flags, the up/down switch,
// and the default card's duplex and speed from its files under /sys/class/net.
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "network/network_internal.h"

using vxm::network::FlagRead;
using vxm::network::flagState;
using vxm::network::kModuleTag;
using vxm::network::readFlags;

namespace {

constexpr int kUnknown = 0;
constexpr int kDown = 1;  // disconnected, or down
constexpr int kUp = 2;    // connected, or up
constexpr int kFullDuplex = 1;
constexpr int kHalfDuplex = 0;
constexpr int kPresetSpeed = 100;
constexpr int kWirelessSpeed = 54;
constexpr std::size_t kShortNameSize = 8;  // duplex and speed use at most 7 characters of the name
constexpr std::size_t kPathSize = 64;
constexpr std::size_t kFileRead = 6;

constexpr char kParamError[] = "param error!";
constexpr char kNameEmpty[] = "Invaild param,ifrname empty.";
constexpr char kSocketError[] = "create socket error, errno:%d.";
constexpr char kIoctlError[] = "ioctl error, errno:%d.";

// "/sys/class/net/<name>/<file>", cut at 63 characters.
void interfaceFile(char (&path)[kPathSize], const char* name, const char* file) {
    vxm::internal::formatTruncated(path, sizeof path, "/sys/class/net/%s/%s", name, file);
}

}  // namespace

namespace vxm::network {

FlagRead readFlags(const char* name, short& flags) noexcept {
    RequestSocket sock;
    if (!sock.ok()) return FlagRead::NoSocket;
    ifreq request = interfaceRequest(name);
    if (ioctl(sock.get(), SIOCGIFFLAGS, &request) < 0) return FlagRead::RequestFailed;
    flags = request.ifr_flags;
    return FlagRead::Ok;
}

FlagRead flagState(const char* name, short flag, int* state, bool reportRequestFailure) noexcept {
    *state = kUnknown;
    if (name[0] == '\0') {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kNameEmpty);
        return FlagRead::EmptyName;
    }
    short flags = 0;
    FlagRead read = readFlags(name, flags);
    if (read == FlagRead::NoSocket) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kSocketError, errno);
    } else if (read == FlagRead::RequestFailed) {
        // The errno stays for a caller that reports the failure itself.
        int error = errno;
        if (reportRequestFailure) VXM_LOG(VXM_LOG_ERROR, kModuleTag, kIoctlError, error);
        errno = error;
    } else {
        *state = (flags & flag) != 0 ? kUp : kDown;
    }
    return read;
}

}  // namespace vxm::network

extern "C" {

int VXM_network_getCableState(const VXM_NETWORK_CARD_INFO* card, int* state) {
    if (state == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return -1;
    }
    const VXM_NETWORK_CARD_INFO source = vxm::network::snapshot(card);
    flagState(source.ifrName, IFF_RUNNING, state, true);
    return 0;
}

int VXM_network_getCableState_for_error_report(const char* name, int* state) {
    if (name == nullptr || state == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return -1;
    }
    if (flagState(name, IFF_RUNNING, state, false) == FlagRead::RequestFailed) {
        int error = errno;
        char shown[VXM_NETWORK_NAME_SIZE] = {};
        std::memcpy(shown, name, strnlen(name, vxm::network::kNameMax));
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "ioctl error, errno:%d ifrName:'%s'.", error, shown);
        *state = kDown;
    }
    return 0;
}

int VXM_network_getNetActive(const char* name, int* active) {
    if (name == nullptr || active == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return -1;
    }
    FlagRead read = flagState(name, IFF_UP, active, true);
    return read == FlagRead::NoSocket || read == FlagRead::RequestFailed ? -1 : 0;
}

int VXM_network_setNetActive(const VXM_NETWORK_CARD_INFO* card, int mode) {
    const VXM_NETWORK_CARD_INFO source = vxm::network::snapshot(card);
    if (source.ifrName[0] == '\0') {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kNameEmpty);
        return -1;
    }
    vxm::network::RequestSocket sock;
    ifreq request = vxm::network::interfaceRequest(source.ifrName);
    if (!sock.ok() || ioctl(sock.get(), SIOCGIFFLAGS, &request) < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "recv error, errno:%d.", errno);
        return -1;
    }
    if (mode == kUp)
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    else if (mode == kDown)
        request.ifr_flags = static_cast<short>(request.ifr_flags & ~IFF_UP);
    if (ioctl(sock.get(), SIOCSIFFLAGS, &request) < 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "recv error, errno:%d.", errno);
        return -1;
    }
    return 0;
}

int VXM_network_getNetCardDuplex(int* duplex) {
    if (duplex == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return -1;
    }
    char name[kShortNameSize];
    VXM_network_getIfrName(name, sizeof name);
    const VXM_UINT32 type = vxm::network::snapshot(nullptr).cardType;
    if (type == VXM_CARD_TYPE_WIRED) {
        *duplex = kFullDuplex;
        char path[kPathSize];
        interfaceFile(path, name, "duplex");
        std::FILE* file = std::fopen(path, "re");
        if (file == nullptr) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "open network duplex file error.");
            return -1;
        }
        char text[kFileRead + 1] = {};
        std::size_t got = std::fread(text, 1, kFileRead, file);
        text[got] = '\0';
        if (std::strstr(text, "full") != nullptr || std::strstr(text, "Full") != nullptr) {
            VXM_LOG(VXM_LOG_INFO, kModuleTag, "network is FULL duplex");
            *duplex = kFullDuplex;
        }
        if (std::strstr(text, "half") != nullptr || std::strstr(text, "Half") != nullptr) {
            VXM_LOG(VXM_LOG_INFO, kModuleTag, "network is Half duplex");
            *duplex = kHalfDuplex;
        }
        std::fclose(file);
    }
    if (type == VXM_CARD_TYPE_WIRELESS) *duplex = kFullDuplex;
    return 0;
}

int VXM_network_getNetCardCapacity(int* speed) {
    if (speed == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return -1;
    }
    int cable = kUnknown;
    VXM_network_getCableState(nullptr, &cable);
    if (cable == kDown) {
        *speed = 0;
        return 0;
    }
    char name[kShortNameSize];
    VXM_network_getIfrName(name, sizeof name);
    const VXM_UINT32 type = vxm::network::snapshot(nullptr).cardType;
    if (type == VXM_CARD_TYPE_WIRED) {
        *speed = kPresetSpeed;
        char path[kPathSize];
        interfaceFile(path, name, "speed");
        std::FILE* file = std::fopen(path, "re");
        if (file == nullptr) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "open network speed file error.");
            return -1;
        }
        char text[kShortNameSize] = {};
        if (std::fread(text, kFileRead, 1, file) == 0 && std::ferror(file) != 0) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "speed file fread error, errno=%d.", errno);
            std::fclose(file);
            return -1;
        }
        text[kFileRead] = '\0';
        *speed = std::atoi(text);
        std::fclose(file);
    }
    if (type == VXM_CARD_TYPE_WIRELESS) *speed = kWirelessSpeed;
    return 0;
}

}  // extern "C"
