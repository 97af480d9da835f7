// System properties kept as one file per property in a directory. A write is a temporary file in the
// same directory renamed into place, so a reader sees either the old or the new value, never a part.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "internal/unique_fd.h"
#include "platform/platform.h"

namespace vxm::platform {
namespace {

constexpr char kDefaultDir[] = "/run/vxmosal/properties";
constexpr char kReadOnlyPrefix[] = "ro.";

using Fd = vxm::internal::UniqueFd;

bool validKey(const char* key) {
    return key != nullptr && key[0] != '\0' && key[0] != '.' && std::strchr(key, '/') == nullptr;
}

// Creates dir and its missing parents.
bool makeDirs(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// Reads at most kPropertyValueMax - 1 bytes of the file into value and terminates it.
int readValue(int dirFd, const char* name, char* value) {
    value[0] = '\0';
    Fd fd(openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) return 0;
    std::size_t length = 0;
    while (length < kPropertyValueMax - 1) {
        ssize_t got = read(fd.get(), value + length, kPropertyValueMax - 1 - length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += static_cast<std::size_t>(got);
    }
    value[length] = '\0';
    return static_cast<int>(std::strlen(value));
}

}  // namespace

std::string propertyDir() {
    const char* dir = getenv("VXM_PROPERTY_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : kDefaultDir;
}

int propertyGet(const char* key, char* value) {
    if (value == nullptr) return 0;
    value[0] = '\0';
    if (!validKey(key)) return 0;
    Fd dir(open(propertyDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return 0;
    return readValue(dir.get(), key, value);
}

int propertySet(const char* key, const char* value) {
    if (!validKey(key) || value == nullptr) return -1;
    const std::size_t length = strnlen(value, kPropertyValueMax);
    if (length >= kPropertyValueMax) return -1;
    const std::string dir = propertyDir();
    const std::string path = dir + "/" + key;
    const bool readOnly = std::strncmp(key, kReadOnlyPrefix, sizeof kReadOnlyPrefix - 1) == 0;
    if (readOnly && access(path.c_str(), F_OK) == 0) return -1;
    if (!makeDirs(dir)) return -1;

    std::string temp = dir + "/.tmp.XXXXXX";  // a leading "." is never a key
    Fd fd(mkostemp(&temp[0], O_CLOEXEC));
    if (fd.get() < 0) return -1;
    bool ok = fchmod(fd.get(), 0644) == 0 && writeAll(fd.get(), value, length);
    ok = close(fd.release()) == 0 && ok;
    if (ok) {
        // A read-only property is linked, which fails when another writer set it first.
        ok = readOnly ? link(temp.c_str(), path.c_str()) == 0
                      : rename(temp.c_str(), path.c_str()) == 0;
    }
    if (!ok || readOnly) unlink(temp.c_str());
    return ok ? 0 : -1;
}

std::vector<std::pair<std::string, std::string>> propertyList() {
    std::vector<std::pair<std::string, std::string>> properties;
    Fd dirFd(open(propertyDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0) return properties;
    DIR* dir = fdopendir(dirFd.get());
    if (dir == nullptr) return properties;
    int ownFd = dirFd.release();  // closedir closes it
    char value[kPropertyValueMax];
    while (dirent* entry = readdir(dir)) {
        if (!validKey(entry->d_name)) continue;
        struct stat info {};
        if (fstatat(ownFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        readValue(ownFd, entry->d_name, value);
        properties.emplace_back(entry->d_name, value);
    }
    closedir(dir);
    std::sort(properties.begin(), properties.end());
    return properties;
}

}  // namespace vxm::platform
