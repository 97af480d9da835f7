// Ratios of benchmarks against baselines measured in the same run, printed after the table.
// Every benchmark program of bench/ builds its main from runWithRatios; programs that measure
// without Google Benchmark print their goal line with goalVerdict.
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

// Repetitions of every benchmark; the ratios use the median of their CPU times.
constexpr int kRepetitions = 7;

enum class Goal { None, AtMost, AtLeast, Below };

// A ratio numerator / denominator, where each side is the name a benchmark was registered under.
struct Ratio {
    std::string numerator;
    std::string numeratorLabel;
    std::string denominator;
    std::string denominatorLabel;
    Goal goal = Goal::None;
    double bound = 0.0;
};

// "goal <= 2.0: met", "goal < 1%: not met", or "no goal".
inline std::string goalVerdict(double value, Goal goal, double bound, const char* unit = "") {
    if (goal == Goal::None) return "no goal";
    const char* op = "<=";
    bool met = value <= bound;
    if (goal == Goal::AtLeast) {
        op = ">=";
        met = value >= bound;
    } else if (goal == Goal::Below) {
        op = "<";
        met = value < bound;
    }
    char text[96];
    // Plain ratios read as "2.0"; bounds with a unit as "1%".
    std::snprintf(text, sizeof text, *unit != '\0' ? "goal %s %g%s: %s" : "goal %s %.1f%s: %s", op,
                  bound, unit, met ? "met" : "not met");
    return text;
}

// Shows the usual table and keeps each benchmark's CPU time per iteration, in nanoseconds.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that logs of `make bench` stay plain text.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
            double ns = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") medians_[name] = ns;
            } else {
                samples_[name].push_back(ns);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The median aggregate when repetitions produced one, else the median of the single runs.
    bool cpuNs(const std::string& name, double* ns) const {
        auto median = medians_.find(name);
        if (median != medians_.end()) {
            *ns = median->second;
            return true;
        }
        auto found = samples_.find(name);
        if (found == samples_.end() || found->second.empty()) return false;
        std::vector<double> values = found->second;
        std::sort(values.begin(), values.end());
        *ns = values[values.size() / 2];
        return true;
    }

private:
    std::map<std::string, double> medians_;
    std::map<std::string, std::vector<double>> samples_;
};

// Prints one line per ratio. @return false when a side of a ratio was not measured.
inline bool printRatios(const RatioReporter& reporter, const std::vector<Ratio>& ratios) {
    bool complete = true;
    std::printf("\nRatios of median CPU time per iteration, measured in this run:\n");
    for (const Ratio& ratio : ratios) {
        double num = 0.0;
        double den = 0.0;
        if (!reporter.cpuNs(ratio.numerator, &num) || !reporter.cpuNs(ratio.denominator, &den) ||
            den <= 0.0) {
            std::printf("ratio %s / %s: not measured\n", ratio.numeratorLabel.c_str(),
                        ratio.denominatorLabel.c_str());
            complete = false;
            continue;
        }
        double value = num / den;
        std::printf("ratio %s / %s = %.2f (%s)   [%.2f ns / %.2f ns]\n", ratio.numeratorLabel.c_str(),
                    ratio.denominatorLabel.c_str(), value,
                    goalVerdict(value, ratio.goal, ratio.bound).c_str(), num, den);
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
