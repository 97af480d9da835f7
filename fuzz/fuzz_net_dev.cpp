// /proc/net/dev: the counters of lo (127.0.0.1) from any text; a failure leaves unread outputs be.
#include "fuzz.h"
#include "utility/stats_root.h"
#include "vxmosal/VXM_stats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vxm::stats::setRootForTesting(kernelFile("/proc/net/dev", data, size));
    unsigned long long counters[4] = {1, 2, 3, 4};
    const int result = VXM_get_netStat("127.0.0.1", &counters[0], &counters[1], &counters[2], &counters[3]);
    FUZZ_CHECK(result == 0 || result == -1);
    return 0;
}
