// Process lookup and control: a live process by command name, a process's first argument, killing
// by a pattern over the ps listing, and the platform's release class.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "utility/process_listing.h"
#include "vxmosal/VXM_process.h"
#include "vxmosal/VXM_shell.h"
#include "vxmosal/VXM_utility.h"

namespace {

constexpr char kModuleTag[] = "os_utility";

constexpr std::size_t kStatPathSize = 33;  // "/proc/%d/stat", at most 32 characters
constexpr std::size_t kStatReadMax = 2047;
constexpr ssize_t kStatMinLength = 80;
constexpr std::size_t kCommandNameSize = 16;  // the 15 characters "%15[^)]" keeps
constexpr std::size_t kCmdlinePathSize = 128;

constexpr char kListingTemplate[] = "ps | awk '$5~/%s/ && $4 != \"Z\"  {print $1}'";
constexpr char kListingPermitted[] = "|$&";
constexpr char kKillTemplate[] = "kill -9 %s";
constexpr std::size_t kCommandSize = 512;
constexpr std::size_t kListingReadMax = 511;
constexpr int kKillMax = 20;

constexpr char kReleaseKey[] = "ro.build.version.release";
constexpr std::size_t kReleaseSize = 128;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
struct PipeCloser {
    void operator()(FILE* stream) const { pclose(stream); }
};

// The command name and state of a /proc entry. @return false when the entry is to be skipped
bool readStat(int pid, char (&commandName)[kCommandNameSize], char& state) {
    char path[kStatPathSize];
    vxm::internal::formatTruncated(path, sizeof path, "/proc/%d/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[kStatReadMax + 1];
    const ssize_t got = read(fd, text, kStatReadMax);
    close(fd);
    if (got < kStatMinLength) return false;
    text[got] = '\0';
    int scannedPid = 0;
    return std::sscanf(text, "%d (%15[^)]) %c", &scannedPid, commandName, &state) == 3;
}

}  // namespace

namespace vxm::process {

int killListed(char* listing, int (*run)(const char* command)) noexcept {
    char* ids[kKillMax] = {};
    const int count = VXM_utl_split(listing, "\n", ids, kKillMax);
    char command[kCommandSize];
    for (int i = 0; i < count; ++i) {
        if (VXM_check_inject_str(ids[i]) != 0) return -1;
        vxm::internal::formatTruncated(command, sizeof command, kKillTemplate, ids[i]);
        (void)run(command);
    }
    return 0;
}

}  // namespace vxm::process

extern "C" {

int VXM_get_exec_pid(const char* name) {
    VXM_LOG(VXM_LOG_INFO, kModuleTag, "VXM_get_exec_pid [%s]", name != nullptr ? name : "(null)");
    if (name == nullptr) return -1;
    std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
    if (!proc) return -1;
    // readdir on a stream of its own is re-entrant (readdir_r is deprecated by the C library).
    while (const struct dirent* entry = readdir(proc.get())) {
        if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])) == 0) continue;
        const int candidate = std::atoi(entry->d_name);
        char commandName[kCommandNameSize] = {};
        char state = 0;
        if (!readStat(candidate, commandName, state)) continue;
        if (std::strcmp(commandName, name) != 0 || state == 'Z' || candidate == -1) continue;
        VXM_LOG(VXM_LOG_INFO, kModuleTag, "VXM_get_exec_pid [%s][%s][%d]", entry->d_name, name,
                candidate);
        return candidate;
    }
    return -1;
}

int VXM_os_get_process_name(int pid, char* buffer, unsigned int bufLen) {
    if (buffer == nullptr || pid <= 0 || bufLen == 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "input param error: pid(%d), buffer(%p), buf_len(%u)", pid,
                static_cast<void*>(buffer), bufLen);
        return -1;
    }
    char path[kCmdlinePathSize];
    vxm::internal::formatTruncated(path, sizeof path, "/proc/%d/cmdline", pid);
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "re"));
    if (!file) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "fopen file(%s) error", path);
        return -1;
    }
    const std::size_t got = std::fread(buffer, 1, bufLen, file.get());
    if (got >= 1 && got <= bufLen) buffer[got - 1] = '\0';
    return 0;
}

int VXM_utl_killProcess(const char* pattern) {
    if (pattern == nullptr) return 0;
    char command[kCommandSize];
    vxm::internal::formatTruncated(command, sizeof command, kListingTemplate, pattern);
    char listing[kListingReadMax + 1];
    {
        std::unique_ptr<FILE, PipeCloser> stream(VXM_popen(command, kListingPermitted, "r"));
        if (!stream) return -1;
        const std::size_t got = std::fread(listing, 1, kListingReadMax, stream.get());
        if (got == 0) return -1;
        listing[got] = '\0';
    }
    if (vxm::process::killListed(listing, VXM_HAL_system) == 0) return 0;
    VXM_LOG(VXM_LOG_ERROR, kModuleTag, "System Command para error");
    return -1;
}

int VXM_utl_get_os_type(void) {
    char release[kReleaseSize] = {};
    if (VXM_property_get(kReleaseKey, release, sizeof release) == -1) return 0;
    constexpr struct {
        const char* text;
        int type;
    } kClasses[] = {{"4.4", 4}, {"5.1", 5}, {"7.0", 7}, {"8.0", 8}};
    for (const auto& releaseClass : kClasses)
        if (std::strstr(release, releaseClass.text) != nullptr) return releaseClass.type;
    return 0;
}

}  // extern "C"
