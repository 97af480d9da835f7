// Guarded shell execution: the metacharacter scans in front of system and popen, the unguarded
// system call, and the closing of every descriptor above standard error.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "vxmosal/VXM_shell.h"

namespace {

constexpr char kModuleTag[] = "os_utility";

// The refused sets, each scanned in the order its characters stand.
constexpr char kInjectSet[] = "|;&$<>`";
constexpr char kSystemSet[] = "|;&$<";
constexpr char kPopenSet[] = "|;&$><";

constexpr std::size_t kFdPathSize = 512;

// The first member of set (in set order) that occurs anywhere in text, or 0 when none does; members
// named in permitted (when given) are skipped.
char firstRefused(const char* text, const char* set, const char* permitted = nullptr) {
    for (const char* member = set; *member != '\0'; ++member) {
        if (std::strchr(text, *member) == nullptr) continue;
        if (permitted != nullptr && std::strchr(permitted, *member) != nullptr) continue;
        return *member;
    }
    return '\0';
}

}  // namespace

extern "C" {

int VXM_check_inject_str(const char* command) {
    if (command == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "System Command is NULL");
        return -1;
    }
    if (char found = firstRefused(command, kInjectSet); found != '\0') {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "System Command Contain %c", found);
        return -1;
    }
    return 0;
}

int VXM_HAL_system(const char* command) {
    if (command == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "VXM_HAL_system Command is NULL");
        return -1;
    }
    return std::system(command);
}

int VXM_system(const char* command) {
    if (command == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "System Command is NULL");
        return -1;
    }
    if (char found = firstRefused(command, kSystemSet); found != '\0') {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "System Command Contain %c", found);
        return -1;
    }
    return VXM_HAL_system(command);
}

FILE* VXM_popen(const char* command, const char* permitted, const char* mode) {
    if (command == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "popen Command is NULL");
        return nullptr;
    }
    if (char found = firstRefused(command, kPopenSet, permitted); found != '\0') {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "popen Command %s Contain %c", command, found);
        return nullptr;
    }
    if (mode == nullptr) return nullptr;  // popen's own behaviour for a null mode is undefined
    return popen(command, mode);
}

void VXM_close_allfd(void) {
    char path[kFdPathSize];
    vxm::internal::formatTruncated(path, sizeof path, "/proc/%d/fd", static_cast<int>(getpid()));
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        VXM_LOG(VXM_LOG_WARN, kModuleTag, "can't open %s", path);
        return;
    }
    // The listing's own descriptor is recognised by its number and closed with the listing.
    const int listingFd = dirfd(dir);
    // readdir on a stream of its own is re-entrant (readdir_r is deprecated by the C library).
    for (;;) {
        errno = 0;
        const struct dirent* entry = readdir(dir);
        if (entry == nullptr) break;  // the end, or a read error
        const int fd = std::atoi(entry->d_name);  // "." and ".." give 0
        if (fd <= 2 || fd == listingFd) continue;
        const int ret = close(fd);
        if (ret == -1) VXM_LOG(VXM_LOG_WARN, kModuleTag, "close ret %d, errno=%d", ret, errno);
    }
    closedir(dir);
}

}  // extern "C"
