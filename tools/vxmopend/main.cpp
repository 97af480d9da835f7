// vxmopend: runs the commands that the library's channel sends, with this process's rights, and
// hands the client a descriptor on each command's output or input. Nothing a request starts
// outlives it: once the command has ended and its close byte is sent, or once its client has gone,
// whatever is left in the command's process group gets SIGTERM, then SIGKILL. A command that must
// stay leaves the group on purpose, its streams redirected: "setsid CMD >/dev/null 2>&1 &". What a
// command leaves behind becomes this process's child (it is reaped here), until this process ends.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server.h"

namespace {

void printUsage(std::FILE* out) {
    std::fputs(
        "usage: vxmopend [--socket PATH] [--allow-uid N]...\n"
        "  --socket PATH    listen on PATH instead of /tmp/vxmopend\n"
        "  --allow-uid N    also serve peers of user id N (the daemon's own uid is always served)\n"
        "  -h, --help       show this help\n"
        "Each command runs as /bin/sh -c in a process group of its own. What it leaves running there\n"
        "is ended (SIGTERM, then SIGKILL) once the command has ended or its client has gone; a\n"
        "command that must stay leaves the group on purpose: setsid CMD >/dev/null 2>&1 &\n",
        out);
}

bool parseUid(const char* text, uid_t& uid) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > 0xfffffffeUL) return false;
    uid = static_cast<uid_t>(value);
    return true;
}

// 0 when the options were read, -1 for help, else the exit status to leave with.
int parseOptions(int argc, char** argv, vxmopend::Options& options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(arg, "--socket") == 0 && value != nullptr && *value != '\0') {
            options.socketPath = value;
            ++i;
        } else if (std::strcmp(arg, "--allow-uid") == 0) {
            uid_t uid = 0;
            if (!parseUid(value, uid)) {
                std::fprintf(stderr, "vxmopend: --allow-uid needs a user id\n");
                return 2;
            }
            options.allowedUids.push_back(uid);
            ++i;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            printUsage(stdout);
            return -1;
        } else {
            std::fprintf(stderr, "vxmopend: unknown or incomplete option '%s'\n", arg);
            printUsage(stderr);
            return 2;
        }
    }
    return 0;
}

// The commands' standard streams are set up by number; a daemon started with one of 0, 1, 2
// closed would otherwise hand that number to a pipe.
void openStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    vxmopend::Options options;
    int status = parseOptions(argc, argv, options);
    if (status == -1) return 0;
    if (status != 0) return status;
    openStandardStreams();
    return vxmopend::serve(options);
}
