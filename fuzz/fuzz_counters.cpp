// Feeds arbitrary text to the statistics parsers as /proc/net/dev, /proc/meminfo and /proc/stat.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "utility/stats_root.h"
#include "vxmosal/VXM_stats.h"

namespace {

const std::string& root() {
    static const std::string path = [] {
        char pattern[] = "/tmp/vxmfuzz.XXXXXX";
        std::string dir = mkdtemp(pattern);
        mkdir((dir + "/proc").c_str(), 0700);
        mkdir((dir + "/proc/net").c_str(), 0700);
        return dir;
    }();
    return path;
}

void put(const char* path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen((root() + path).c_str(), "w");
    if (file == nullptr) abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vxm::stats::setRootForTesting(root().c_str());
    put("/proc/net/dev", data, size);
    put("/proc/meminfo", data, size);
    put("/proc/stat", data, size);
    unsigned long long a, b, c, d;
    VXM_get_netStat("127.0.0.1", &a, &b, &c, &d);
    unsigned int usage = VXM_get_memUsage();
    VXM_get_freeMemorySize();
    if (VXM_get_cpuUsage() > 100) abort();
    (void)usage;
    return 0;
}
