// /proc/meminfo and /proc/stat: any text gives results in range.
#include "fuzz.h"
#include "utility/stats_root.h"
#include "vxmosal/VXM_stats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kernelFile("/proc/meminfo", data, size);
    vxm::stats::setRootForTesting(kernelFile("/proc/stat", data, size));
    FUZZ_CHECK(VXM_get_memUsage() <= 100);
    VXM_get_freeMemorySize();
    FUZZ_CHECK(VXM_get_cpuUsage() <= 100);
    for (unsigned int decimals = 0, limit = 100; decimals <= 4; ++decimals, limit *= 10)
        FUZZ_CHECK(VXM_get_cpuUsageExtend(decimals) <= limit);
    return 0;
}
