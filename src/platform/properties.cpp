// System properties kept as one file per property in a directory. A write is a temporary file in the
// same directory renamed into place, so a reader sees either the old or the new value, never a part.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "internal/safe_string.h"
#include "internal/unique_fd.h"
#include "platform/platform.h"

namespace vxm::platform {
namespace {

constexpr char kDefaultDir[] = "/run/vxmosal/properties";
constexpr char kReadOnlyPrefix[] = "ro.";

using Fd = vxm::internal::UniqueFd;
// Paths are built in buffers of the system's path limit: a longer one could not be opened anyway.
using Path = char[PATH_MAX];

bool validKey(const char* key) noexcept {
    return key != nullptr && key[0] != '\0' && key[0] != '.' && std::strchr(key, '/') == nullptr;
}

// Whether a path formatted to length characters fitted its buffer.
bool fitted(int length, const Path& path) noexcept {
    return length >= 0 && static_cast<std::size_t>(length) < sizeof path;
}

// $VXM_PROPERTY_DIR, or kDefaultDir when it is unset or empty; false when it does not fit.
bool propertyDir(Path& dir) noexcept {
    const char* chosen = getenv("VXM_PROPERTY_DIR");
    if (chosen == nullptr || chosen[0] == '\0') chosen = kDefaultDir;
    return fitted(vxm::internal::formatTruncated(dir, sizeof dir, "%s", chosen), dir);
}

// Creates dir and its missing parents, each of them dir cut short at one of its slashes.
bool makeDirs(Path& dir) noexcept {
    const std::size_t length = strnlen(dir, sizeof dir);
    for (std::size_t end = 1; end <= length; ++end) {
        if (end < length && dir[end] != '/') continue;
        const char cut = dir[end];
        dir[end] = '\0';
        const bool made = mkdir(dir, 0755) == 0 || errno == EEXIST;
        dir[end] = cut;
        if (!made) return false;
    }
    return true;
}

bool writeAll(int fd, const char* data, std::size_t length) noexcept {
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
int readValue(int dirFd, const char* name, char* value) noexcept {
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

int propertyGet(const char* key, char* value) noexcept {
    if (value == nullptr) return 0;
    value[0] = '\0';
    if (!validKey(key)) return 0;
    Path dirPath;
    if (!propertyDir(dirPath)) return 0;
    Fd dir(open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return 0;
    return readValue(dir.get(), key, value);
}

int propertySet(const char* key, const char* value) noexcept {
    if (!validKey(key) || value == nullptr) return -1;
    const std::size_t length = strnlen(value, kPropertyValueMax);
    if (length >= kPropertyValueMax) return -1;
    Path dir;
    Path path;
    if (!propertyDir(dir) || !fitted(vxm::internal::formatTruncated(path, sizeof path, "%s/%s", dir, key), path))
        return -1;
    const bool readOnly = std::strncmp(key, kReadOnlyPrefix, sizeof kReadOnlyPrefix - 1) == 0;
    if (readOnly && access(path, F_OK) == 0) return -1;
    if (!makeDirs(dir)) return -1;

    Path temp;  // a leading "." is never a key
    if (!fitted(vxm::internal::formatTruncated(temp, sizeof temp, "%s/.tmp.XXXXXX", dir), temp)) return -1;
    Fd fd(mkostemp(temp, O_CLOEXEC));
    if (fd.get() < 0) return -1;
    bool ok = fchmod(fd.get(), 0644) == 0 && writeAll(fd.get(), value, length);
    ok = close(fd.release()) == 0 && ok;
    if (ok) {
        // A read-only property is linked, which fails when another writer set it first.
        ok = readOnly ? link(temp, path) == 0 : rename(temp, path) == 0;
    }
    if (!ok || readOnly) unlink(temp);
    return ok ? 0 : -1;
}

std::vector<std::pair<std::string, std::string>> propertyList() {
    std::vector<std::pair<std::string, std::string>> properties;
    Path dirPath;
    if (!propertyDir(dirPath)) return properties;
    Fd dirFd(open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
