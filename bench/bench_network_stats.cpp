// The gateway and the statistics record per call against doing the same job by hand in the same
// run: VXM_network_getGateway (a netlink route dump) against running "ip route show default"
// through popen and reading its "via" word, in wall time (the tool runs in a child, whose CPU time
// the calling process does not see); VXM_network_getStatic for eth0 (card list, addresses,
// gateway, operstate and 20 counter files) against reading the same operstate and counter files
// directly, in CPU time, to take at most twice as long for the card list, addresses and route dump
// it does besides. The program makes its own eth0 (a veth pair with an address and a default
// route), so it runs in an empty box: scripts/bench.sh starts it through
// vxmbox --box /dev/null --no-daemon.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench_ratio.h"
#include "vxmosal/VXM_network.h"

namespace {

constexpr char kCard[] = "eth0";
constexpr char kGateway[] = "192.168.77.1";

const char* const kFiles[] = {
    "operstate",
    "statistics/collisions",      "statistics/multicast",         "statistics/rx_bytes",
    "statistics/rx_compressed",   "statistics/rx_crc_errors",     "statistics/rx_dropped",
    "statistics/rx_errors",       "statistics/rx_over_errors",    "statistics/rx_packets",
    "statistics/rx_fifo_errors",  "statistics/tx_aborted_errors", "statistics/tx_bytes",
    "statistics/tx_carrier_errors", "statistics/tx_compressed",   "statistics/tx_dropped",
    "statistics/tx_errors",       "statistics/tx_fifo_errors",    "statistics/tx_heartbeat_errors",
    "statistics/tx_packets",      "statistics/tx_window_errors",
};

void BM_VXM_network_getGateway(benchmark::State& state) {
    VXM_NETWORK_CARD_INFO card{};
    std::strcpy(card.ifrName, kCard);
    char text[32];
    for (auto _ : state) {
        text[0] = '\0';
        if (VXM_network_getGateway(&card, text, sizeof text) != 0 || std::strcmp(text, kGateway) != 0) {
            state.SkipWithError("VXM_network_getGateway failed");
            break;
        }
        benchmark::DoNotOptimize(text);
    }
}

void BM_popen_ipRouteShowDefault(benchmark::State& state) {
    char text[32];
    for (auto _ : state) {
        std::FILE* stream = popen("ip route show default", "r");
        if (stream == nullptr) {
            state.SkipWithError("popen failed");
            break;
        }
        char line[256];
        text[0] = '\0';
        while (std::fgets(line, sizeof line, stream) != nullptr) {
            char device[32];
            if (std::sscanf(line, "default via %31s dev %31s", text, device) == 2 && std::strcmp(device, kCard) == 0) break;
            text[0] = '\0';
        }
        pclose(stream);
        if (std::strcmp(text, kGateway) != 0) {
            state.SkipWithError("ip route show default gave no gateway for eth0");
            break;
        }
        benchmark::DoNotOptimize(text);
    }
}

void BM_VXM_network_getStatic(benchmark::State& state) {
    VXM_NETWORK_STATIC_INFO info;
    for (auto _ : state) {
        std::memset(&info, 0, sizeof info);
        std::strcpy(info.ifrName, kCard);
        if (VXM_network_getStatic(&info) != 0 || info.linkUp != 1) {
            state.SkipWithError("VXM_network_getStatic failed");
            break;
        }
        benchmark::DoNotOptimize(info);
    }
}

void BM_sysfs_directReads(benchmark::State& state) {
    long long values[sizeof kFiles / sizeof kFiles[0]];
    std::string paths[sizeof kFiles / sizeof kFiles[0]];
    for (std::size_t i = 0; i < sizeof kFiles / sizeof kFiles[0]; ++i)
        paths[i] = std::string("/sys/class/net/") + kCard + "/" + kFiles[i];
    for (auto _ : state) {
        for (std::size_t i = 0; i < sizeof kFiles / sizeof kFiles[0]; ++i) {
            char text[64];
            int fd = open(paths[i].c_str(), O_RDONLY | O_CLOEXEC);
            ssize_t got = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
            if (fd >= 0) close(fd);
            text[got > 0 ? got : 0] = '\0';
            values[i] = i == 0 ? std::strncmp(text, "up", 2) == 0 : std::atoll(text);
        }
        benchmark::DoNotOptimize(values);
    }
}

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// eth0 with its peer up, an address and a default route; properties from an empty private store,
// so that the gateway takes the route dump.
bool makeCard() {
    if (getenv("VXMBOX") == nullptr) {
        std::fprintf(stderr, "bench_network_stats: needs a network namespace of its own "
                             "(run it through vxmbox --box /dev/null --no-daemon)\n");
        return false;
    }
    static char propertyDir[] = "/tmp/bench_network_stats.XXXXXX";
    if (mkdtemp(propertyDir) == nullptr) return false;
    setenv("VXM_PROPERTY_DIR", propertyDir, 1);
    return run("ip link add eth0 type veth peer name peer0") && run("ip link set peer0 up") &&
           run("ip link set eth0 up") && run("ip addr add 192.168.77.10/24 dev eth0") &&
           run(std::string("ip route add default via ") + kGateway + " dev eth0");
}

}  // namespace

BENCHMARK(BM_VXM_network_getGateway)->Repetitions(vxm::bench::kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_popen_ipRouteShowDefault)->Repetitions(vxm::bench::kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_VXM_network_getStatic)->Repetitions(vxm::bench::kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_sysfs_directReads)->Repetitions(vxm::bench::kRepetitions)->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    using vxm::bench::Goal;
    using vxm::bench::Measure;
    if (!makeCard()) return 1;
    return vxm::bench::runWithRatios(
        argc, argv,
        {
            {"BM_VXM_network_getGateway", "VXM_network_getGateway", "BM_popen_ipRouteShowDefault",
             "popen ip route show default", Goal::AtMost, 0.1, Measure::RealTime},
            {"BM_VXM_network_getStatic", "VXM_network_getStatic(eth0)", "BM_sysfs_directReads",
             "direct sysfs reads", Goal::AtMost, 2.0, Measure::CpuTime},
        });
}
