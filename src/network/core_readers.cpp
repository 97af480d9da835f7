// The network module's readers: one value out of a file or out of a command's output, and a
// command run by the open daemon whose output is ignored.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/log.h"
#include "network/network_internal.h"
#include "vxmosal/VXM_channel.h"
#include "vxmosal/VXM_shell.h"

using vxm::network::kContentSize;
using vxm::network::kModuleTag;

namespace {

constexpr char kParamError[] = "VXM_network_content   input para error";
constexpr char kPopenPermitted[] = "&";

// Opens path with mode (close-on-exec); reports a failure under its own name.
FILE* VXM_newwork_OpenFile(const char* path, const char* mode) noexcept {
    char withCloexec[8];
    std::snprintf(withCloexec, sizeof withCloexec, "%se", mode);
    FILE* file = std::fopen(path, withCloexec);
    if (file == nullptr) VXM_LOG(VXM_LOG_ERROR, kModuleTag, "fopen[%s, %s]  ini file fail.", path, mode);
    return file;
}

}  // namespace

void VXM_network_get_content(const char* path, char* buffer) noexcept {
    if (path == nullptr || buffer == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return;
    }
    FILE* file = VXM_newwork_OpenFile(path, "r");
    if (file == nullptr) {
        int error = errno;
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_network_content  open '%s' failed as %s", path,
                std::strerror(error));
        return;
    }
    std::size_t got = std::fread(buffer, 1, kContentSize - 1, file);
    buffer[got] = '\0';
    std::fclose(file);
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "VXM_network_content path '%s' buf'%s' ", path, buffer);
}

void VXM_network_get_content_int(const char* path, std::int64_t* out) noexcept {
    char buffer[kContentSize] = {};
    if (path == nullptr || out == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return;
    }
    VXM_network_get_content(path, buffer);
    // A 32-bit conversion on the target; the same width here.
    const auto value = static_cast<std::int32_t>(std::atol(buffer));
    *out = value;
    VXM_LOG(VXM_LOG_INFO, kModuleTag, " VXM_network_get_content '%d' path'%s' ", value, path);
}

void VXM_network_popen_get_content(const char* command, const char* key, char* buffer) noexcept {
    char line[kContentSize] = {};
    if (command == nullptr || key == nullptr || buffer == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kParamError);
        return;
    }
    VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM_network_popen_get_int key_work'%s' cmd'%s' ", key, command);
    FILE* stream = VXM_popen(command, kPopenPermitted, "r");
    if (stream == nullptr) {
        VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "VXM_network_popen_get_int  open '%s' failed", command);
        return;
    }
    const char* found = nullptr;
    while (found == nullptr && std::fgets(line, sizeof line, stream) != nullptr) found = std::strstr(line, key);
    if (found == nullptr) {
        pclose(stream);
        VXM_LOG(VXM_LOG_INFO, kModuleTag, "can't find '%s' after exe '%s'", key, command);
        return;
    }
    const char* rest = found + std::strlen(key);
    VXM_LOG(VXM_LOG_DEBUG, kModuleTag, "ptr =%s", rest);
    std::memcpy(buffer, rest, std::strlen(rest));
    pclose(stream);
}

void VXM_network_popen_get_int(const char* command, const char* key, int* out) noexcept {
    if (out == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_network_popen_get_int   input para error");
        return;
    }
    char buffer[kContentSize] = {};
    VXM_network_popen_get_content(command, key, buffer);
    *out = std::atoi(buffer);
}

int actShellCmd(const char* command, int closeWaitMs) noexcept {
    if (command == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "null pointer");
        return -1;
    }
    int fd = -1;
    VXM_CS_HANDLE* handle = VXM_csopen(command, "r", &fd, nullptr);
    if (handle == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_csopen exec [%s] faild", command);
        return -1;
    }
    VXM_csclose(handle, closeWaitMs);
    return 0;
}
