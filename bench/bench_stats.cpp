// Processor, memory and traffic statistics per call, against reading and parsing the same kernel
// file in the two usual ways: std::ifstream with stream extraction, and fopen+fgets+sscanf. The
// baselines read what the library reads (the aggregate "cpu" line; MemTotal, MemFree, Buffers and
// Cached; the 16 counters of the loopback's line) and stop where it stops. VXM_get_netStat also
// finds the interface that holds 127.0.0.1 with interface requests, which the baselines, given the
// name "lo", do not.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "bench_ratio.h"
#include "vxmosal/VXM_stats.h"

namespace {

constexpr char kLoopbackAddress[] = "127.0.0.1";
constexpr char kLoopbackName[] = "lo";

struct Counters {
    unsigned long long rxBytes = 0, rxPackets = 0, txBytes = 0, txPackets = 0;
};

// VXM_get_cpuUsage or VXM_get_memUsage.
template <unsigned int (*Usage)()>
void vxmUsage(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Usage());
}

// The file for one iteration of a baseline; null, with the benchmark ended in an error, when it
// cannot be opened.
std::FILE* openOrSkip(benchmark::State& state, const char* path) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) state.SkipWithError((std::string("cannot open ") + path).c_str());
    return file;
}

void ifstreamCpu(benchmark::State& state) {
    for (auto _ : state) {
        std::ifstream in("/proc/stat");
        std::string label;
        unsigned long long user = 0, nice = 0, system = 0, idle = 0;
        in >> label >> user >> nice >> system >> idle;
        benchmark::DoNotOptimize(user + nice + system + idle);
    }
}

void sscanfCpu(benchmark::State& state) {
    for (auto _ : state) {
        std::FILE* file = openOrSkip(state, "/proc/stat");
        if (file == nullptr) return;
        char line[1024];
        unsigned long long user = 0, nice = 0, system = 0, idle = 0;
        if (std::fgets(line, sizeof line, file) != nullptr)
            std::sscanf(line, "cpu %llu %llu %llu %llu", &user, &nice, &system, &idle);
        std::fclose(file);
        benchmark::DoNotOptimize(user + nice + system + idle);
    }
}

void ifstreamMem(benchmark::State& state) {
    for (auto _ : state) {
        std::ifstream in("/proc/meminfo");
        std::string key;
        long value = 0;
        long total = 0, free = 0, buffers = 0, cached = 0;
        while (in >> key >> value) {
            if (key == "MemTotal:") total = value;
            else if (key == "MemFree:") free = value;
            else if (key == "Buffers:") buffers = value;
            else if (key == "Cached:") {
                cached = value;
                break;
            }
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        }
        benchmark::DoNotOptimize(total - free - buffers - cached);
    }
}

void sscanfMem(benchmark::State& state) {
    for (auto _ : state) {
        std::FILE* file = openOrSkip(state, "/proc/meminfo");
        if (file == nullptr) return;
        char line[256];
        int total = 0, free = 0, buffers = 0, cached = 0;
        while (std::fgets(line, sizeof line, file) != nullptr) {
            if (std::strncmp(line, "MemTotal:", 9) == 0) {
                std::sscanf(line, "MemTotal: %d kB", &total);
            } else if (std::strncmp(line, "MemFree:", 8) == 0) {
                std::sscanf(line, "MemFree: %d kB", &free);
            } else if (std::strncmp(line, "Buffers:", 8) == 0) {
                std::sscanf(line, "Buffers: %d kB", &buffers);
            } else if (std::strncmp(line, "Cached:", 7) == 0) {
                std::sscanf(line, "Cached: %d kB", &cached);
                break;
            }
        }
        std::fclose(file);
        benchmark::DoNotOptimize(total - free - buffers - cached);
    }
}

void vxmNetStat(benchmark::State& state) {
    Counters c;
    if (VXM_get_netStat(kLoopbackAddress, &c.txBytes, &c.rxBytes, &c.txPackets, &c.rxPackets) != 0) {
        state.SkipWithError("VXM_get_netStat(\"127.0.0.1\") failed: the loopback is not up and running");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            VXM_get_netStat(kLoopbackAddress, &c.txBytes, &c.rxBytes, &c.txPackets, &c.rxPackets));
    }
}

void ifstreamNet(benchmark::State& state) {
    bool found = false;
    for (auto _ : state) {
        std::ifstream in("/proc/net/dev");
        std::string line;
        Counters c;
        found = false;
        while (std::getline(in, line)) {
            std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::size_t start = line.find_first_not_of(" \t");
            if (line.compare(start, colon - start, kLoopbackName) != 0) continue;
            std::istringstream fields(line.substr(colon + 1));
            unsigned long long skip = 0;
            fields >> c.rxBytes >> c.rxPackets >> skip >> skip >> skip >> skip >> skip >> skip >> c.txBytes >>
                c.txPackets >> skip >> skip >> skip >> skip >> skip >> skip;
            found = static_cast<bool>(fields);
            break;
        }
        benchmark::DoNotOptimize(c);
    }
    if (!found) state.SkipWithError("no line for lo in /proc/net/dev");
}

void sscanfNet(benchmark::State& state) {
    bool found = false;
    for (auto _ : state) {
        std::FILE* file = openOrSkip(state, "/proc/net/dev");
        if (file == nullptr) return;
        char line[1024];
        Counters c;
        found = false;
        while (std::fgets(line, sizeof line, file) != nullptr) {
            char* colon = std::strchr(line, ':');
            if (colon == nullptr) continue;
            *colon = '\0';
            char* name = line + std::strspn(line, " \t");
            if (std::strcmp(name, kLoopbackName) != 0) continue;
            unsigned long long skip = 0;
            found = std::sscanf(colon + 1, "%llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu",
                                &c.rxBytes, &c.rxPackets, &skip, &skip, &skip, &skip, &skip, &skip, &c.txBytes,
                                &c.txPackets, &skip, &skip, &skip, &skip, &skip, &skip) == 16;
            break;
        }
        std::fclose(file);
        benchmark::DoNotOptimize(c);
    }
    if (!found) state.SkipWithError("no line for lo in /proc/net/dev");
}

}  // namespace

int main(int argc, char** argv) {
    using vxm::bench::Goal;
    using vxm::bench::kRepetitions;
    for (auto* b : {benchmark::RegisterBenchmark("VXM_get_cpuUsage", vxmUsage<VXM_get_cpuUsage>),
                    benchmark::RegisterBenchmark("ifstream_proc_stat", ifstreamCpu),
                    benchmark::RegisterBenchmark("sscanf_proc_stat", sscanfCpu),
                    benchmark::RegisterBenchmark("VXM_get_memUsage", vxmUsage<VXM_get_memUsage>),
                    benchmark::RegisterBenchmark("ifstream_proc_meminfo", ifstreamMem),
                    benchmark::RegisterBenchmark("sscanf_proc_meminfo", sscanfMem),
                    benchmark::RegisterBenchmark("VXM_get_netStat", vxmNetStat),
                    benchmark::RegisterBenchmark("ifstream_proc_net_dev", ifstreamNet),
                    benchmark::RegisterBenchmark("sscanf_proc_net_dev", sscanfNet)})
        b->Repetitions(kRepetitions)->DisplayAggregatesOnly(true);

    const char* ifstreamStat = "std::ifstream of /proc/stat";
    const char* sscanfStat = "fopen+fgets+sscanf of /proc/stat";
    const char* ifstreamMeminfo = "std::ifstream of /proc/meminfo";
    const char* sscanfMeminfo = "fopen+fgets+sscanf of /proc/meminfo";
    const char* ifstreamNetDev = "std::ifstream of /proc/net/dev (lo)";
    const char* sscanfNetDev = "fopen+fgets+sscanf of /proc/net/dev (lo)";
    return vxm::bench::runWithRatios(
        argc, argv,
        {{"VXM_get_cpuUsage", "VXM_get_cpuUsage", "ifstream_proc_stat", ifstreamStat},
         {"VXM_get_cpuUsage", "VXM_get_cpuUsage", "sscanf_proc_stat", sscanfStat},
         {"VXM_get_memUsage", "VXM_get_memUsage", "ifstream_proc_meminfo", ifstreamMeminfo},
         {"VXM_get_memUsage", "VXM_get_memUsage", "sscanf_proc_meminfo", sscanfMeminfo},
         {"VXM_get_netStat", "VXM_get_netStat(127.0.0.1)", "ifstream_proc_net_dev", ifstreamNetDev},
         {"VXM_get_netStat", "VXM_get_netStat(127.0.0.1)", "sscanf_proc_net_dev", sscanfNetDev}});
}
