// Processor, memory and traffic statistics from /proc/stat, /proc/meminfo and /proc/net/dev.
#include <arpa/inet.h>
#include <limits.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "utility/stats_root.h"
#include "vxmosal/VXM_stats.h"

namespace {

constexpr char kModuleTag[] = "os_utility";

constexpr std::uint64_t kMinIntervalTicks = 1000;
constexpr unsigned int kMaxDecimals = 4;
constexpr std::size_t kMeminfoLineSize = 256;
constexpr std::size_t kNetDevLineSize = 1024;
constexpr std::size_t kIfConfSize = 512;
constexpr std::size_t kCardNameSize = 64;

std::atomic<const char*> g_root{""};

// Opens a kernel file (below the root a test chose), or gives null.
std::FILE* openKernelFile(const char* path) noexcept {
    char full[PATH_MAX];
    const int length = vxm::internal::formatTruncated(full, sizeof full, "%s%s", g_root.load(), path);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof full) return nullptr;
    return std::fopen(full, "re");
}

class File {
public:
    explicit File(const char* kernelPath) noexcept : file_(openKernelFile(kernelPath)) {}
    ~File() {
        if (file_ != nullptr) std::fclose(file_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    explicit operator bool() const { return file_ != nullptr; }
    std::FILE* get() const { return file_; }

private:
    std::FILE* file_;
};

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Processor state: plain process-wide values without a lock, as callers may interleave.
struct CpuSample {
    std::atomic<std::uint64_t> user{0}, nice{0}, system{0}, idle{0};
};
CpuSample g_base;
std::atomic<std::uint64_t> g_lastTotal{0};
std::atomic<std::uint64_t> g_lastIdle{0};

constexpr auto kRelaxed = std::memory_order_relaxed;

unsigned int usagePercent(std::uint64_t total, std::uint64_t idle, std::uint64_t scale) noexcept {
    return static_cast<unsigned int>((total - idle) * 100 * scale / total);
}

// Memory figures of /proc/meminfo, in kB.
struct MemInfo {
    int total = 0, free = 0, buffers = 0, cached = 0;
};

bool readMemInfo(MemInfo& info) noexcept {
    File file("/proc/meminfo");
    if (!file) return false;
    char line[kMeminfoLineSize];
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        if (std::strncmp(line, "MemTotal:", 9) == 0) {
            sscanf_s(line, "MemTotal: %d kB", &info.total);
        } else if (std::strncmp(line, "MemFree:", 8) == 0) {
            sscanf_s(line, "MemFree: %d kB", &info.free);
        } else if (std::strncmp(line, "Buffers:", 8) == 0) {
            sscanf_s(line, "Buffers: %d kB", &info.buffers);
        } else if (std::strncmp(line, "Cached:", 7) == 0) {
            sscanf_s(line, "Cached: %d kB", &info.cached);
            break;
        }
    }
    return true;
}

// The process-wide socket that serves as the handle of the interface queries; kept open.
std::atomic<int> g_lookupSocket{-1};

int lookupSocket() noexcept {
    int fd = g_lookupSocket.load();
    if (fd >= 0) return fd;
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int expected = -1;
    if (!g_lookupSocket.compare_exchange_strong(expected, fd)) {
        close(fd);  // another first call stored its socket first
        return expected;
    }
    return fd;
}

// The name of the up and running interface that holds the address, or false.
bool cardNameByIp(const char* ip, char (&name)[kCardNameSize]) noexcept {
    int fd = lookupSocket();
    if (fd < 0) return false;
    alignas(ifreq) char buffer[kIfConfSize];
    ifconf list{};
    list.ifc_len = sizeof buffer;
    list.ifc_buf = buffer;
    if (ioctl(fd, SIOCGIFCONF, &list) != 0) return false;
    in_addr wanted{};
    if (inet_aton(ip, &wanted) == 0) return false;
    const int records = list.ifc_len / static_cast<int>(sizeof(ifreq));
    for (int i = 0; i < records; ++i) {
        ifreq request = list.ifc_req[i];
        if (ioctl(fd, SIOCGIFADDR, &request) != 0) continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(&request.ifr_addr);
        if (address->sin_addr.s_addr != wanted.s_addr) continue;
        if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) return false;
        if ((request.ifr_flags & IFF_UP) == 0 || (request.ifr_flags & IFF_RUNNING) == 0) return false;
        strncpy_s(name, sizeof name, list.ifc_req[i].ifr_name,
                  strnlen(list.ifc_req[i].ifr_name, IFNAMSIZ));
        return true;
    }
    return false;
}

char* trim(char* text) noexcept {
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r') ++text;
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t' ||
                          text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
    return text;
}

}  // namespace

namespace vxm::stats {

void setRootForTesting(const char* root) noexcept { g_root.store(root != nullptr ? root : ""); }

}  // namespace vxm::stats

extern "C" {

unsigned int VXM_get_cpuUsage(void) {
    unsigned long long user = 0, nice = 0, system = 0, idle = 0;
    {
        File file("/proc/stat");
        if (!file) {
            VXM_LOG(VXM_LOG_INFO, kModuleTag, "get cpu time fail.");
            return 0;
        }
        char line[kNetDevLineSize];
        if (std::fgets(line, sizeof line, file.get()) != nullptr)
            sscanf_s(line, "cpu %llu %llu %llu %llu\n", &user, &nice, &system, &idle);
    }
    if (g_base.user.load(kRelaxed) == 0) {
        g_base.user.store(user, kRelaxed);
        g_base.nice.store(nice, kRelaxed);
        g_base.system.store(system, kRelaxed);
        g_base.idle.store(idle, kRelaxed);
        return 0;
    }
    const std::uint64_t idleDelta = idle - g_base.idle.load(kRelaxed);
    const std::uint64_t total = (user - g_base.user.load(kRelaxed)) +
                                (nice - g_base.nice.load(kRelaxed)) +
                                (system - g_base.system.load(kRelaxed)) + idleDelta;
    if (total >= kMinIntervalTicks) {
        g_base.user.store(user, kRelaxed);
        g_base.nice.store(nice, kRelaxed);
        g_base.system.store(system, kRelaxed);
        g_base.idle.store(idle, kRelaxed);
        g_lastTotal.store(total, kRelaxed);
        g_lastIdle.store(idleDelta, kRelaxed);
        return usagePercent(total, idleDelta, 1);
    }
    const std::uint64_t lastTotal = g_lastTotal.load(kRelaxed);
    if (lastTotal == 0) return 0;
    return usagePercent(lastTotal, g_lastIdle.load(kRelaxed), 1);
}

unsigned int VXM_get_cpuUsageExtend(unsigned int decimals) {
    const std::uint64_t lastTotal = g_lastTotal.load(kRelaxed);
    if (decimals > kMaxDecimals || lastTotal == 0) {
        VXM_LOG(VXM_LOG_INFO, kModuleTag, "iBit:[%d]", static_cast<int>(decimals));
        return 0;
    }
    std::uint64_t scale = 1;
    for (unsigned int i = 0; i < decimals; ++i) scale *= 10;
    return usagePercent(lastTotal, g_lastIdle.load(kRelaxed), scale);
}

unsigned int VXM_get_memUsage(void) {
    MemInfo info;
    if (!readMemInfo(info) || info.total == 0) return 0;
    const VXM_UINT32 total = static_cast<VXM_UINT32>(info.total);
    const VXM_UINT32 used = total - (static_cast<VXM_UINT32>(info.free) + info.buffers) -
                            static_cast<VXM_UINT32>(info.cached);
    const VXM_UINT32 totalMb = total / 1024;
    if (totalMb == 0) return 0;  // below one megabyte there is no figure to give
    return (used / 1024) * 100 / totalMb;
}

unsigned int VXM_get_freeMemorySize(void) {
    File file("/proc/meminfo");
    if (!file) return 0;
    int memFree = 0;
    char line[kMeminfoLineSize];
    while (std::fgets(line, sizeof line, file.get()) != nullptr)
        if (std::strncmp(line, "MemFree:", 8) == 0) sscanf_s(line, "MemFree: %d kB", &memFree);
    return static_cast<VXM_UINT32>(memFree) * 1024u;
}

int VXM_get_netStat(const char* ip, unsigned long long* txBytes, unsigned long long* rxBytes,
                    unsigned long long* txPackets, unsigned long long* rxPackets) {
    if (ip == nullptr || txBytes == nullptr || rxBytes == nullptr || txPackets == nullptr ||
        rxPackets == nullptr)
        return -1;
    char name[kCardNameSize] = {};
    if (ip[0] == '\0' || !cardNameByIp(ip, name)) {
        std::fprintf(stderr, "VXM_get_netCardNameByIP failed ip[%s].\n", ip);
        return -1;
    }
    File file("/proc/net/dev");
    if (!file) return -1;
    char buffer[kNetDevLineSize];
    while (std::fgets(buffer, sizeof buffer, file.get()) != nullptr) {
        char* line = trim(buffer);
        char* colon = std::strchr(line, ':');
        if (colon == nullptr) continue;
        *colon = '\0';
        if (std::strcmp(line, name) != 0) continue;
        unsigned long long skip = 0;
        int converted = sscanf_s(colon + 1,
                                 "%llu %llu%llu%llu%llu%llu%llu%llu  %llu    %llu%llu%llu%llu%llu%llu%llu",
                                 rxBytes, rxPackets, &skip, &skip, &skip, &skip, &skip, &skip, txBytes,
                                 txPackets, &skip, &skip, &skip, &skip, &skip, &skip);
        if (converted < 16) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "get netcard netflow info failed.");
            return -1;
        }
        return 0;
    }
    return -1;
}

}  // extern "C"
