// vxmdiag: a host of the library, as the middleware is. It installs a log sink and prints a report
// of this box obtained through the library's interface alone.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log_sink.h"
#include "report.h"
#include "sections.h"
#include "vxmosal/vxmosal.h"

namespace {

struct Options {
    bool json = false;
    bool verbose = false;
    const char* card = nullptr;  // the default card; null: the first card found
    long watchSeconds = 0;       // 0: one report
};

constexpr long kMaxWatchSeconds = 86400;

volatile sig_atomic_t g_stopRequested = 0;

void requestStop(int) { g_stopRequested = 1; }

struct Section {
    const char* name;
    vxmdiag::Value (*build)();
};

vxmdiag::Value statsOnce() { return vxmdiag::statsSection(true); }

// In report order.
constexpr Section kSections[] = {
    {"library", vxmdiag::librarySection},
    {"ticks", vxmdiag::ticksSection},
    {"time", vxmdiag::timeSection},
    {"statistics", statsOnce},
    {"cards", vxmdiag::cardsSection},
    {"timers", vxmdiag::timerSection},
    {"queues", vxmdiag::queueSection},
    {"registry", vxmdiag::registrySection},
    {"system", vxmdiag::systemSection},
};

void printUsage(std::FILE* out) {
    std::fputs(
        "usage: vxmdiag [--json] [-v] [--card NAME] [--watch N]\n"
        "  --json      print the report as one JSON object\n"
        "  --watch N   redraw the report every N seconds (1 to 86400), with traffic per second\n"
        "  --card NAME the library's default card (else the first card found)\n"
        "  -v          also log the library's level-1 (debug) records to stderr\n"
        "  -h, --help  show this help\n",
        out);
}

bool parseSeconds(const char* text, long& seconds) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > kMaxWatchSeconds) return false;
    seconds = value;
    return true;
}

// 0 when the options were read, else the exit status to leave with.
int parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--json") == 0) {
            options.json = true;
        } else if (std::strcmp(arg, "-v") == 0) {
            options.verbose = true;
        } else if (std::strcmp(arg, "--card") == 0 && i + 1 < argc) {
            options.card = argv[++i];
        } else if (std::strcmp(arg, "--watch") == 0) {
            if (!parseSeconds(i + 1 < argc ? argv[i + 1] : nullptr, options.watchSeconds)) {
                std::fprintf(stderr, "vxmdiag: --watch needs a whole number of seconds from 1 to %ld\n",
                             kMaxWatchSeconds);
                printUsage(stderr);
                return 2;
            }
            ++i;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            printUsage(stdout);
            return -1;
        } else {
            std::fprintf(stderr, "vxmdiag: unknown option '%s'\n", arg);
            printUsage(stderr);
            return 2;
        }
    }
    return 0;
}

vxmdiag::Value buildReport(bool watching) {
    vxmdiag::Value report = vxmdiag::Value::object();
    for (const Section& section : kSections) {
        // A refresh cannot wait out a processor interval: it shows the library's latest figure.
        if (watching && section.build == statsOnce)
            report.add(section.name, vxmdiag::statsSection(false));
        else
            report.add(section.name, section.build());
    }
    if (watching) report.add("rates", vxmdiag::ratesSection());
    return report;
}

void printReport(const Options& options, const vxmdiag::Value& report) {
    if (options.json) {
        vxmdiag::printJson(stdout, report);
    } else {
        if (options.watchSeconds > 0) std::fputs("\033[H\033[2J", stdout);  // clear, as top redraws
        vxmdiag::printText(stdout, report);
    }
}

// Sleeps in short slices so that a stop request ends the wait at once.
void waitSeconds(long seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_stopRequested && std::chrono::steady_clock::now() < end) usleep(50 * 1000);
}

int watch(const Options& options) {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    vxmdiag::ratesSection();  // the first sample: every refresh then shows rates
    while (!g_stopRequested) {
        waitSeconds(options.watchSeconds);
        if (g_stopRequested) break;
        vxmdiag::Value report = buildReport(true);
        printReport(options, report);
        if (std::fflush(stdout) != 0) return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int status = parseOptions(argc, argv, options);
    if (status == -1) return 0;
    if (status != 0) return status;

    vxmdiag::installLogSink(options.verbose ? VXM_LOG_DEBUG : VXM_LOG_INFO);

    vxmdiag::pickDefaultCard(options.card);
    if (options.watchSeconds > 0) return watch(options);
    printReport(options, buildReport(false));
    return std::fflush(stdout) == 0 ? 0 : 1;
}
