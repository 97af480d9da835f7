// vxmdiag: a host of the library, as the middleware is. It installs a log sink and prints a report
// of this box obtained through the library's interface alone.
#include <cstdio>
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
};

struct Section {
    const char* name;
    vxmdiag::Value (*build)();
};

// In report order.
constexpr Section kSections[] = {
    {"library", vxmdiag::librarySection},
    {"ticks", vxmdiag::ticksSection},
    {"time", vxmdiag::timeSection},
    {"statistics", vxmdiag::statsSection},
    {"cards", vxmdiag::cardsSection},
    {"timers", vxmdiag::timerSection},
    {"queues", vxmdiag::queueSection},
    {"registry", vxmdiag::registrySection},
    {"system", vxmdiag::systemSection},
};

void printUsage(std::FILE* out) {
    std::fputs(
        "usage: vxmdiag [--json] [-v] [--card NAME]\n"
        "  --json      print the report as one JSON object\n"
        "  --card NAME the library's default card (else the first card found)\n"
        "  -v          also log the library's level-1 (debug) records to stderr\n"
        "  -h, --help  show this help\n",
        out);
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

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int status = parseOptions(argc, argv, options);
    if (status == -1) return 0;
    if (status != 0) return status;

    vxmdiag::installLogSink(options.verbose ? VXM_LOG_DEBUG : VXM_LOG_INFO);

    vxmdiag::pickDefaultCard(options.card);
    vxmdiag::Value report = vxmdiag::Value::object();
    for (const Section& section : kSections) report.add(section.name, section.build());

    if (options.json)
        vxmdiag::printJson(stdout, report);
    else
        vxmdiag::printText(stdout, report);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
