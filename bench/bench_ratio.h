// Ratios of benchmarks against baselines measured in the same run, printed after the table.
// Every benchmark program of bench/ builds its main from runWithRatios; programs that measure
// without Google Benchmark print their goal line with goalVerdict or printMeasured.
#ifndef VXMOSAL_BENCH_BENCH_RATIO_H
#define VXMOSAL_BENCH_BENCH_RATIO_H

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vxm::bench {

// Repetitions of every benchmark; the ratios use the median of the repetitions.
constexpr int kRepetitions = 7;

enum class Goal { None, AtMost, AtLeast, Below };

// What a ratio compares: CPU time or wall time per iteration (both in nanoseconds), or the
// items_per_second counter (for work spread over several threads, where the calling thread's CPU
// time says little).
enum class Measure { CpuTime, RealTime, ItemsPerSecond };

// A ratio numerator / denominator, where each side is the name a benchmark was registered under.
// With numeratorBase and denominatorBase set, each side is itself a ratio, numerator /
// numeratorBase against denominator / denominatorBase: how two candidates scale.
struct Ratio {
    std::string numerator;
    std::string numeratorLabel;
    std::string denominator;
    std::string denominatorLabel;
    Goal goal = Goal::None;
    double bound = 0.0;
    Measure measure = Measure::CpuTime;
    std::string numeratorBase = {};
    std::string denominatorBase = {};
};

// "goal <= 1.30", "goal < 22 ms", or "no goal".
inline std::string goalText(Goal goal, double bound, const char* unit = "") {
    if (goal == Goal::None) return "no goal";
    const char* op = goal == Goal::AtLeast ? ">=" : goal == Goal::Below ? "<" : "<=";
    char text[64];
    // Plain ratios read as "1.03"; bounds with a unit as "1%" or "22 ms".
    std::snprintf(text, sizeof text, *unit != '\0' ? "goal %s %g%s" : "goal %s %.2f%s", op, bound, unit);
    return text;
}

inline bool goalMet(double value, Goal goal, double bound) {
    switch (goal) {
        case Goal::AtMost: return value <= bound;
        case Goal::AtLeast: return value >= bound;
        case Goal::Below: return value < bound;
        case Goal::None: break;
    }
    return true;
}

// "goal <= 1.30: met", "goal < 1%: not met", or "no goal".
inline std::string goalVerdict(double value, Goal goal, double bound, const char* unit = "") {
    if (goal == Goal::None) return "no goal";
    return goalText(goal, bound, unit) + (goalMet(value, goal, bound) ? ": met" : ": not met");
}

// One result line of a program that measures without Google Benchmark:
// "timer lateness p99 idle: 19.87 ms (goal < 22 ms: met)".
inline void printMeasured(const char* label, double value, const char* unit, Goal goal = Goal::None,
                          double bound = 0.0) {
    std::printf("%s: %.*f%s (%s)\n", label, value == static_cast<long long>(value) ? 0 : 2, value, unit,
                goalVerdict(value, goal, bound, unit).c_str());
}

// Shows the usual table and keeps, per benchmark name, the CPU and wall time per iteration (in
// nanoseconds) and the items_per_second counter when the benchmark sets one.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that logs of `make bench` stay plain text.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
            const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            double values[3] = {run.GetAdjustedCPUTime() * toNs, run.GetAdjustedRealTime() * toNs, -1.0};
            auto items = run.counters.find("items_per_second");
            if (items != run.counters.end()) values[2] = items->second.value;
            for (int m = 0; m < 3; ++m) {
                if (values[m] < 0.0) continue;
                if (run.run_type == Run::RT_Aggregate) {
                    if (run.aggregate_name == "median") medians_[m][name] = values[m];
                } else {
                    samples_[m][name].push_back(values[m]);
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The median aggregate when repetitions produced one, else the median of the single runs.
    bool value(const std::string& name, Measure measure, double* out) const {
        const int m = static_cast<int>(measure);
        auto median = medians_[m].find(name);
        if (median != medians_[m].end()) {
            *out = median->second;
            return true;
        }
        auto found = samples_[m].find(name);
        if (found == samples_[m].end() || found->second.empty()) return false;
        std::vector<double> values = found->second;
        std::sort(values.begin(), values.end());
        *out = values[values.size() / 2];
        return true;
    }

private:
    std::map<std::string, double> medians_[3];
    std::map<std::string, std::vector<double>> samples_[3];
};

inline const char* measureName(Measure measure) {
    switch (measure) {
        case Measure::RealTime: return "wall time per iteration";
        case Measure::ItemsPerSecond: return "items per second";
        case Measure::CpuTime: break;
    }
    return "CPU time per iteration";
}

// "12.34 ns", or "1.23e+06 items/s".
inline std::string formatValue(double value, Measure measure) {
    char text[48];
    if (measure == Measure::ItemsPerSecond)
        std::snprintf(text, sizeof text, "%.3g items/s", value);
    else
        std::snprintf(text, sizeof text, "%.2f ns", value);
    return text;
}

// Prints one line per ratio. @return false when a side of a ratio was not measured.
inline bool printRatios(const RatioReporter& reporter, const std::vector<Ratio>& ratios) {
    bool complete = true;
    std::printf("\nRatios of medians over the repetitions, measured in this run:\n");
    for (const Ratio& ratio : ratios) {
        double num = 0.0;
        double den = 0.0;
        double numBase = 1.0;
        double denBase = 1.0;
        const bool scaling = !ratio.numeratorBase.empty();
        if (!reporter.value(ratio.numerator, ratio.measure, &num) ||
            !reporter.value(ratio.denominator, ratio.measure, &den) || den <= 0.0 ||
            (scaling && (!reporter.value(ratio.numeratorBase, ratio.measure, &numBase) ||
                         !reporter.value(ratio.denominatorBase, ratio.measure, &denBase) || numBase <= 0.0 ||
                         denBase <= 0.0 || num <= 0.0))) {
            std::printf("ratio %s / %s: not measured (%s)\n", ratio.numeratorLabel.c_str(),
                        ratio.denominatorLabel.c_str(),
                        ratio.goal == Goal::None ? "no goal"
                                                 : (goalText(ratio.goal, ratio.bound) + ": not measured").c_str());
            complete = false;
            continue;
        }
        if (scaling) {
            const double value = (num / numBase) / (den / denBase);
            std::printf("ratio %s / %s = %.3f (%s)   [%s: %s / %s against %s / %s]\n",
                        ratio.numeratorLabel.c_str(), ratio.denominatorLabel.c_str(), value,
                        goalVerdict(value, ratio.goal, ratio.bound).c_str(), measureName(ratio.measure),
                        formatValue(num, ratio.measure).c_str(), formatValue(numBase, ratio.measure).c_str(),
                        formatValue(den, ratio.measure).c_str(), formatValue(denBase, ratio.measure).c_str());
            continue;
        }
        double value = num / den;
        std::printf("ratio %s / %s = %.3f (%s)   [%s: %s / %s]\n", ratio.numeratorLabel.c_str(),
                    ratio.denominatorLabel.c_str(), value,
                    goalVerdict(value, ratio.goal, ratio.bound).c_str(), measureName(ratio.measure),
                    formatValue(num, ratio.measure).c_str(), formatValue(den, ratio.measure).c_str());
    }
    std::fflush(stdout);
    return complete;
}

// Runs the registered benchmarks (command-line flags of Google Benchmark apply, after the
// default of interleaving repetitions at random, which spreads a busy machine's noise evenly over
// the candidates and their baselines), then prints the ratios.
// @return the process exit status: 0 when every ratio could be computed.
inline int runWithRatios(int argc, char** argv, const std::vector<Ratio>& ratios) {
    std::vector<char*> args;
    args.push_back(argv[0]);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.push_back(interleave);
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return printRatios(reporter, ratios) ? 0 : 1;
}

}  // namespace vxm::bench

#endif
