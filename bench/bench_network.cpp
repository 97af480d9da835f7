// Card queries per call against getifaddrs() doing the same job in the same run:
// VXM_network_getIpAddr (one interface request on a fresh socket) against a getifaddrs() walk that
// finds the card's IPv4 address and writes it as text, and VXM_network_getNetCards (a scan of
// /sys/class/net) against a getifaddrs() walk that lists the same cards. The card is the loopback,
// which every machine has; the list is whatever cards this machine has. CPU time (the kernel's
// share included), which a busy machine disturbs less than wall time.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "vxmosal/VXM_network.h"

namespace {

constexpr char kCard[] = "lo";
constexpr int kMaxCards = 32;

bool isCardName(const char* name) {
    return std::strncmp(name, "eth", 3) == 0 || std::strncmp(name, "ra", 2) == 0 || std::strncmp(name, "wlan", 4) == 0;
}

void BM_VXM_network_getIpAddr(benchmark::State& state) {
    VXM_NETWORK_CARD_INFO card{};
    std::strcpy(card.ifrName, kCard);
    char text[32];
    for (auto _ : state) {
        if (VXM_network_getIpAddr(&card, text, sizeof text) != 0) {
            state.SkipWithError("VXM_network_getIpAddr failed");
            break;
        }
        benchmark::DoNotOptimize(text);
    }
}

void BM_getifaddrs_ipAddr(benchmark::State& state) {
    char text[32];
    for (auto _ : state) {
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0) {
            state.SkipWithError("getifaddrs failed");
            break;
        }
        bool found = false;
        for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
            if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || std::strcmp(a->ifa_name, kCard) != 0)
                continue;
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
            found = true;
        }
        freeifaddrs(list);
        benchmark::DoNotOptimize(text);
        if (!found) {
            state.SkipWithError("no IPv4 address on the loopback");
            break;
        }
    }
}

void BM_VXM_network_getNetCards(benchmark::State& state) {
    VXM_NETWORK_CARD_INFO cards[kMaxCards];
    for (auto _ : state) {
        int count = kMaxCards;
        if (VXM_network_getNetCards(cards, &count) != 0) {
            state.SkipWithError("VXM_network_getNetCards failed");
            break;
        }
        benchmark::DoNotOptimize(cards);
    }
}

void BM_getifaddrs_netCards(benchmark::State& state) {
    VXM_NETWORK_CARD_INFO cards[kMaxCards];
    for (auto _ : state) {
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0) {
            state.SkipWithError("getifaddrs failed");
            break;
        }
        int count = 0;
        for (ifaddrs* a = list; a != nullptr && count < kMaxCards; a = a->ifa_next) {
            if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_PACKET || !isCardName(a->ifa_name)) continue;
            std::memset(cards[count].ifrName, 0, sizeof cards[count].ifrName);
            std::strncpy(cards[count].ifrName, a->ifa_name, sizeof cards[count].ifrName - 1);
            cards[count].cardType = std::strncmp(a->ifa_name, "eth", 3) == 0 ? 1 : 2;
            ++count;
        }
        freeifaddrs(list);
        benchmark::DoNotOptimize(cards);
    }
}

}  // namespace

BENCHMARK(BM_VXM_network_getIpAddr)->Repetitions(vxm::bench::kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_getifaddrs_ipAddr)->Repetitions(vxm::bench::kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_VXM_network_getNetCards)->Repetitions(vxm::bench::kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_getifaddrs_netCards)->Repetitions(vxm::bench::kRepetitions)->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    using vxm::bench::Goal;
    using vxm::bench::Measure;
    return vxm::bench::runWithRatios(
        argc, argv,
        {
            {"BM_VXM_network_getIpAddr", "VXM_network_getIpAddr", "BM_getifaddrs_ipAddr", "getifaddrs walk",
             Goal::AtMost, 0.5, Measure::CpuTime},
            {"BM_VXM_network_getNetCards", "VXM_network_getNetCards", "BM_getifaddrs_netCards", "getifaddrs walk",
             Goal::AtMost, 0.5, Measure::CpuTime},
        });
}
