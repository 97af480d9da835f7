// Processor usage over one second, memory usage and free size, and traffic counters.
#include <unistd.h>

#include "sections.h"
#include "vxmosal/vxmosal.h"

namespace vxmdiag {
namespace {

// Cards come with the network family; until then the counters are those of the loopback address.
constexpr char kCounterAddress[] = "127.0.0.1";
constexpr long kMinIntervalTicks = 1000;  // the library completes an interval after this many

// One second, or as long as the kernel needs to count an interval the library completes (1000
// clock ticks summed over all processors).
VXM_UINT32 cpuIntervalMs() {
    long hz = sysconf(_SC_CLK_TCK);
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (hz <= 0 || cpus <= 0) return 1000;
    long ms = (kMinIntervalTicks * 1000 + hz * cpus - 1) / (hz * cpus) + 100;
    return static_cast<VXM_UINT32>(ms < 1000 ? 1000 : ms);
}

}  // namespace

Value statsSection(bool measure) {
    Value section = Value::object();
    if (measure) {
        VXM_get_cpuUsage();  // the base sample
        const VXM_UINT32 intervalMs = cpuIntervalMs();
        VXM_delay(intervalMs);
        section.add("cpu_interval_ms", Value::integer(intervalMs));
    }
    // Without the wait, the figure of the last interval the library completed (0 before the first).
    unsigned int usage = VXM_get_cpuUsage();
    unsigned int precise = VXM_get_cpuUsageExtend(2);
    section.add("cpu_usage_percent", Value::integer(usage));
    section.add("cpu_usage_hundredths", Value::integer(precise));
    section.add("memory_usage_percent", Value::integer(VXM_get_memUsage()));
    section.add("free_memory_bytes", Value::integer(VXM_get_freeMemorySize()));
    unsigned long long txBytes = 0, rxBytes = 0, txPackets = 0, rxPackets = 0;
    Value traffic = Value::object();
    traffic.add("address", Value::text(kCounterAddress));
    if (VXM_get_netStat(kCounterAddress, &txBytes, &rxBytes, &txPackets, &rxPackets) == 0) {
        traffic.add("tx_bytes", Value::integer(static_cast<std::int64_t>(txBytes)))
            .add("rx_bytes", Value::integer(static_cast<std::int64_t>(rxBytes)))
            .add("tx_packets", Value::integer(static_cast<std::int64_t>(txPackets)))
            .add("rx_packets", Value::integer(static_cast<std::int64_t>(rxPackets)));
    } else {
        traffic.add("counters", Value::failure("VXM_get_netStat returned -1"));
    }
    section.add("traffic", traffic);
    return section;
}

}  // namespace vxmdiag
