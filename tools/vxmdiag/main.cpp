// vxmdiag: a host of the library, as the middleware is. It installs a log sink and prints a report
// of this box obtained through the library's interface alone.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "log_sink.h"
#include "report.h"
#include "sections.h"
#include "vxmosal/vxmosal.h"

namespace {

struct Options {
    bool json = false;
    int verbosity = 0;           // each -v lets one more level of the library's records through
    const char* card = nullptr;  // the default card; null: the first card found
    long watchSeconds = 0;       // 0: one report
};

constexpr long kMaxWatchSeconds = 86400;
constexpr char kWatchError[] = "--watch needs a whole number of seconds from 1 to 86400";

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
        "  --json        print the report as one JSON object\n"
        "  --watch N     redraw the report every N seconds (1 to 86400), with traffic per second\n"
        "  --card NAME   the library's default card (else the first card found)\n"
        "  -v            also log the library's info records (level 2) to stderr; -vv adds debug (level 1)\n"
        "  -h, --help    show this help\n"
        "  --version     show the version\n"
        "The library's warnings and errors (levels 3 and 4) always go to stderr.\n",
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

int usageError(const std::string& message) {
    std::fprintf(stderr, "vxmdiag: %s\n", message.c_str());
    printUsage(stderr);
    return 2;
}

// 0 when the options were read, -1 when the program is done (help, version), else the exit status.
int parseOptions(int argc, char** argv, Options& options) {
    enum { kJson = 256, kCard, kWatch, kVersion };
    static const option kLong[] = {
        {"json", no_argument, nullptr, kJson},         {"card", required_argument, nullptr, kCard},
        {"watch", required_argument, nullptr, kWatch}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},   {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the messages below name the option as the user wrote it
    int opt;
    while ((opt = getopt_long(argc, argv, ":hv", kLong, nullptr)) != -1) {
        switch (opt) {
            case kJson: options.json = true; break;
            case kCard: options.card = optarg; break;
            case 'v': ++options.verbosity; break;
            case kWatch:
                if (!parseSeconds(optarg, options.watchSeconds)) return usageError(kWatchError);
                break;
            case 'h': printUsage(stdout); return -1;
            case kVersion: std::printf("vxmdiag %s\n", VXMDIAG_VERSION); return -1;
            case ':':
                if (optopt == kWatch) return usageError(kWatchError);
                return usageError(std::string(argv[optind - 1]) + " needs a value");
            default:
                // A short option inside a group ("-vx") has no argv element of its own.
                if (optopt > 0 && optopt < 256)
                    return usageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
                return usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) return usageError(std::string("unexpected argument '") + argv[optind] + "'");
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

int main(int argc, char** argv) try {
    Options options;
    int status = parseOptions(argc, argv, options);
    if (status == -1) return 0;
    if (status != 0) return status;

    vxmdiag::installLogSink(options.verbosity >= 2   ? VXM_LOG_DEBUG
                            : options.verbosity == 1 ? VXM_LOG_INFO
                                                     : VXM_LOG_WARN);

    vxmdiag::pickDefaultCard(options.card);
    if (options.watchSeconds > 0) return watch(options);
    printReport(options, buildReport(false));
    return std::fflush(stdout) == 0 ? 0 : 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "vxmdiag: %s\n", e.what());
    return 1;
}
