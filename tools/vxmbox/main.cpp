// vxmbox: runs a program inside a simulated box. The box is a set of fresh namespaces (mount,
// network, PID, and user when not root) holding the box's cards, a private /tmp and property store,
// the box's own vxmopend and stand-ins for the box's command-line tools. The box's init is this
// program's child: when it ends, the kernel ends everything in the box and the namespaces with it.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "box_file.h"

namespace {

constexpr char kUsage[] =
    "NAME\n"
    "    vxmbox - run a program inside a simulated box\n"
    "\n"
    "SYNOPSIS\n"
    "    vxmbox [--box FILE] [--no-daemon] run [--] COMMAND [ARGUMENT...]\n"
    "    vxmbox --help\n"
    "\n"
    "DESCRIPTION\n"
    "    Runs COMMAND in a box built for it, and returns its exit status (128 + N when signal N\n"
    "    ended it). Inside the box:\n"
    "      - the box's cards (by default eth0, wired, and wlan0, wireless), each a veth pair whose\n"
    "        far end sits in a second namespace playing the upstream network: it holds the gateway\n"
    "        addresses and answers them, so no packet leaves the box;\n"
    "      - a private /tmp (the box's own /tmp/vxmopend and /tmp/Gateway) and a private property\n"
    "        store, $VXM_PROPERTY_DIR, seeded from the box file;\n"
    "      - the box's own vxmopend, started before COMMAND and stopped after it (its log is\n"
    "        /tmp/vxmbox/vxmopend.log inside the box), unless --no-daemon is given;\n"
    "      - first on PATH, the box's command-line tools: ps (PID USER VSZ STAT COMMAND), busybox\n"
    "        (ps, pgrep), and iwpriv, wpa_cli and iwlist answering from the box file.\n"
    "    Directories under /tmp that hold COMMAND, the working directory or vxmbox itself stay\n"
    "    visible. When COMMAND ends (Ctrl-C included), every process left in the box is ended and\n"
    "    nothing of the box remains.\n"
    "\n"
    "OPTIONS\n"
    "    --box FILE   the box to simulate (default: the sample box, BOX_DEFAULT)\n"
    "    --no-daemon  start no vxmopend: /tmp/vxmopend is free for COMMAND to serve\n"
    "    -h, --help   show this text\n"
    "\n"
    "BOX FILE\n"
    "    Lines of KEY = VALUE; '#' starts a comment line. Keys:\n"
    "      release = 8.0.0             ro.build.version.release\n"
    "      dns1 = ADDRESS, dns2 = ADDRESS          net.dns1, net.dns2\n"
    "      property.KEY = VALUE        any other property (at most 91 bytes)\n"
    "      card.NAME.kind = wired|wireless   (default: wireless for wlan* and ra*, else wired)\n"
    "      card.NAME.ipv4 = A.B.C.D[/LEN]    card.NAME.ipv6 = X::Y[/LEN]\n"
    "      card.NAME.gateway = A.B.C.D       card.NAME.gateway6 = X::Y   (held upstream)\n"
    "      card.NAME.mac = 02:00:00:00:00:01\n"
    "      card.NAME.up = yes|no             card.NAME.carrier = yes|no  (default yes)\n"
    "      wifi.rssi = -58  wifi.snr = 31  wifi.txbad = 0  wifi.frequency = 2.437 (GHz)\n"
    "    A card name has at most 15 characters. Cards get the kernel's veth speed (10000 Mb/s,\n"
    "    full duplex). A card that is up with a gateway gets a default route in the main table and\n"
    "    in a routing table named after it. A box file without card keys makes a box without cards\n"
    "    (--box /dev/null is an empty box).\n"
    "\n"
    "PRIVILEGES\n"
    "    Root, or a kernel that lets users make user namespaces (unshare -r style).\n"
    "\n"
    "EXIT STATUS\n"
    "    COMMAND's status; 1 when the box cannot be built, 2 for bad options or a bad box file,\n"
    "    126 when COMMAND cannot be run, 127 when it is not found.\n"
    "\n"
    "ENVIRONMENT\n"
    "    VXMBOX_OPEND      the vxmopend to start (default: the one installed beside vxmbox)\n"
    "    VXMBOX_EMULATOR   words put before vxmopend (\"qemu-arm -L /usr/arm-linux-gnueabihf\")\n";

constexpr int kUsageError = 2;
constexpr int kBoxError = 1;
constexpr auto kDaemonWait = std::chrono::seconds(10);
constexpr auto kStopWait = std::chrono::seconds(5);


void message(const std::string& text) { std::fprintf(stderr, "vxmbox: %s\n", text.c_str()); }

std::string dirName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool isFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string exeDir() {
    char buffer[4096];
    ssize_t got = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (got <= 0) return ".";
    buffer[got] = '\0';
    return dirName(buffer);
}

void pause10ms() {
    timespec step{0, 10 * 1000 * 1000};
    nanosleep(&step, nullptr);
}

// Where the stand-ins and the sample box live, and the daemon: installed beside vxmbox, else the
// source and build trees this vxmbox was built from.
struct Places {
    std::string share;   // holds sample.box and vxmbox/
    std::string daemon;
};

Places findPlaces() {
    Places places;
    const std::string prefix = dirName(exeDir());
    if (isFile(prefix + "/" VXMBOX_INSTALL_SHARE "/vxmbox/setup.sh")) {
        places.share = prefix + "/" VXMBOX_INSTALL_SHARE;
        places.daemon = prefix + "/" VXMBOX_INSTALL_SBIN "/vxmopend";
    } else {
        places.share = VXMBOX_SOURCE_SHARE;
        places.daemon = VXMBOX_BUILD_OPEND;
    }
    if (const char* daemon = getenv("VXMBOX_OPEND"); daemon != nullptr && *daemon != '\0') places.daemon = daemon;
    return places;
}

std::vector<std::string> words(const char* text) {
    std::vector<std::string> out;
    std::istringstream in(text != nullptr ? text : "");
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

[[noreturn]] void execOrDie(const std::vector<std::string>& args, int errorPipe) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    int error = errno;
    if (errorPipe >= 0 && write(errorPipe, &error, sizeof error) < 0) _exit(127);
    _exit(error == ENOENT ? 127 : 126);
}

// The signals a box passes on to the program it runs. Every process of vxmbox keeps them (and
// SIGCHLD) blocked and takes them with sigwaitinfo while it waits for its child. Ctrl-C reaches
// that program from the terminal itself (the kernel sends it to the whole foreground group), so
// only signals sent by a process are passed on, and the program never sees one Ctrl-C twice.
const int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t waitedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kForwarded) sigaddset(&set, s);
    sigaddset(&set, SIGCHLD);
    return set;
}

void blockSignals() {
    const sigset_t set = waitedSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

// A child with the mask a program expects to start with, and the default actions of the signals
// vxmbox passes on (a shell starts background commands with SIGINT and SIGQUIT ignored), SIGHUP
// excepted, so that nohup still holds.
void resetSignals() {
    for (int s : kForwarded)
        if (s != SIGHUP) signal(s, SIG_DFL);
    const sigset_t set = waitedSignals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Forks a child that starts with the signals a program expects. When fork fails, says what could
// not be done ("cannot WHAT: fork: ...") and returns -1.
pid_t forkChild(const char* what) {
    pid_t pid = fork();
    if (pid < 0) message(std::string("cannot ") + what + ": fork: " + std::strerror(errno));
    if (pid == 0) resetSignals();
    return pid;
}

// Waits for child, reaping any other child that ends meanwhile (a box's init adopts the box's
// orphans), and passes the signals in kForwarded that a process sends on to forwardTo (when > 0).
bool waitChild(pid_t child, pid_t forwardTo, int& status) {
    const sigset_t set = waitedSignals();
    for (;;) {
        int any = 0;
        pid_t ended = waitpid(-1, &any, WNOHANG);
        if (ended == child) {
            status = any;
            return true;
        }
        if (ended > 0) continue;
        if (ended < 0 && errno != EINTR) return false;
        siginfo_t info{};
        int signal = sigwaitinfo(&set, &info);
        if (signal > 0 && signal != SIGCHLD && info.si_code != SI_KERNEL && forwardTo > 0) kill(forwardTo, signal);
    }
}

int statusOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// The user namespace of an unprivileged caller: root inside, the caller outside.
std::string enterUserNamespace() {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER) != 0)
        return std::string("needs root, or a kernel that lets users make user namespaces, and "
                           "unshare(CLONE_NEWUSER) was refused: ") + std::strerror(errno) +
               " (see the sysctls kernel.unprivileged_userns_clone and user.max_user_namespaces)";
    if (!writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
        !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
        return "the user namespace's identity maps could not be written";
    return "";
}

// Inside the box, as its init (PID 1) -----------------------------------------------------------

class Init {
public:
    Init(const vxmbox::Box& box, const Places& places, std::vector<std::string> command, std::string cwd,
         bool daemon)
        : box_(box), places_(places), command_(std::move(command)), cwd_(std::move(cwd)), daemon_(daemon) {}

    int run() {
        int status = build();
        if (status == 0) status = runCommand();
        stopAll();
        return status;
    }

private:
    int build() {
        if (!runSetup()) return kBoxError;
        if (!writeStore()) {
            message("cannot set up the box: the property store in /tmp/vxmbox could not be written");
            return kBoxError;
        }
        const char* path = getenv("PATH");
        std::string boxPath = places_.share + "/vxmbox/bin:" + (path != nullptr ? path : "/usr/bin:/bin");
        setenv("PATH", boxPath.c_str(), 1);
        setenv("VXM_PROPERTY_DIR", "/tmp/vxmbox/properties", 1);
        setenv("VXMBOX", "1", 1);
        if (daemon_ && !startDaemon()) return kBoxError;
        if (chdir(cwd_.c_str()) != 0) {
            message("cannot enter the working directory " + cwd_ + " inside the box");
            return kBoxError;
        }
        return 0;
    }

    bool runSetup() {
        std::vector<std::string> args = {"bash", places_.share + "/vxmbox/setup.sh", cwd_, places_.share,
                                         places_.daemon, exeDir()};
        if (command_[0].find('/') != std::string::npos) args.push_back(command_[0]);
        for (std::size_t i = 0; i < box_.cards.size(); ++i) {
            const vxmbox::Card& c = box_.cards[i];
            auto field = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
            std::string line = c.name + " " + c.kind + " " + (c.up ? "1" : "0") + " " + (c.carrier ? "1" : "0") +
                               " " + field(c.mac) + " " + field(c.ipv4) + " " + field(c.ipv6) + " " +
                               field(c.gateway) + " " + field(c.gateway6);
            setenv(("VXMBOX_CARD_" + std::to_string(i)).c_str(), line.c_str(), 1);
        }
        setenv("VXMBOX_CARD_COUNT", std::to_string(box_.cards.size()).c_str(), 1);
        pid_t pid = forkChild("set up the box");
        if (pid < 0) return false;
        if (pid == 0) {
            execOrDie(args, -1);
        }
        int status = 0;
        if (!waitChild(pid, pid, status)) return false;
        if (WIFSIGNALED(status)) message("the box's setup was ended by signal " + std::to_string(WTERMSIG(status)));
        if (statusOf(status) == 127) message("cannot set up the box: bash is not installed");
        return statusOf(status) == 0;
    }

    bool writeStore() {
        bool ok = true;
        for (const auto& property : box_.properties)
            ok = writeFile("/tmp/vxmbox/properties/" + property.first, property.second) && ok;
        std::string cards;
        for (const auto& card : box_.cards)
            if (card.kind == "wireless") cards += (cards.empty() ? "" : " ") + card.name;
        std::ostringstream figures;
        figures << "WIRELESS_CARDS='" << cards << "'\nRSSI=" << box_.rssi << "\nSNR=" << box_.snr
                << "\nTXBAD=" << box_.txbad << "\nFREQUENCY=" << box_.frequency << "\n";
        return writeFile("/tmp/vxmbox/wireless", figures.str()) && ok;
    }

    // Whether a socket listens on path: /proc/net/unix (this network namespace's) lists it with
    // the flag __SO_ACCEPTCON once listen() has run. A probing connection would cost a log line.
    static bool listening(const std::string& path) {
        std::ifstream in("/proc/net/unix");
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, refs, protocol, flags, type, state, inode, name;
            if (fields >> slot >> refs >> protocol >> flags >> type >> state >> inode >> name &&
                name == path && flags == "00010000")
                return true;
        }
        return false;
    }

    bool startDaemon() {
        std::vector<std::string> args = words(getenv("VXMBOX_EMULATOR"));
        args.push_back(places_.daemon);
        pid_t pid = forkChild("start vxmopend");
        if (pid < 0) return false;
        if (pid == 0) {
            int null = open("/dev/null", O_RDONLY);
            int log = open("/tmp/vxmbox/vxmopend.log", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
            if (null >= 0) dup2(null, 0);
            if (log >= 0) {
                dup2(log, 1);
                dup2(log, 2);
            }
            execOrDie(args, -1);
        }
        const auto end = std::chrono::steady_clock::now() + kDaemonWait;
        while (!listening("/tmp/vxmopend")) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid || std::chrono::steady_clock::now() > end) {
                message("cannot start vxmopend (" + places_.daemon + "); its log:\n" + readLog());
                return false;
            }
            pause10ms();
        }
        return true;
    }

    static std::string readLog() {
        std::ifstream in("/tmp/vxmbox/vxmopend.log");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    int runCommand() {
        int errors[2];
        if (pipe2(errors, O_CLOEXEC) != 0) {
            message(std::string("cannot run the command: pipe: ") + std::strerror(errno));
            return kBoxError;
        }
        pid_t pid = forkChild("run the command");
        if (pid < 0) {
            close(errors[0]);
            close(errors[1]);
            return kBoxError;
        }
        if (pid == 0) {
            close(errors[0]);
            execOrDie(command_, errors[1]);
        }
        close(errors[1]);
        int error = 0;
        ssize_t got;
        while ((got = read(errors[0], &error, sizeof error)) < 0 && errno == EINTR) {
        }
        close(errors[0]);
        int status = 0;
        waitChild(pid, pid, status);
        if (got == sizeof error) {
            message("cannot run '" + command_[0] + "': " + std::strerror(error));
            return error == ENOENT ? 127 : 126;
        }
        return statusOf(status);
    }

    // Ends every process left in the box: SIGTERM (vxmopend removes its socket), then SIGKILL for
    // whatever has not ended within a few seconds.
    static void stopAll() {
        kill(-1, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + kStopWait;
        for (;;) {
            pid_t ended = waitpid(-1, nullptr, WNOHANG);
            if (ended < 0 && errno == ECHILD) return;
            if (ended > 0) continue;
            if (std::chrono::steady_clock::now() > end) break;
            pause10ms();
        }
        kill(-1, SIGKILL);
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
    }

    const vxmbox::Box& box_;
    const Places& places_;
    std::vector<std::string> command_;
    std::string cwd_;
    bool daemon_;
};

// Outside the box ---------------------------------------------------------------------------------

// Waits for child, passing signals on to it, and gives its status as an exit status.
int waitPassingSignals(pid_t child) {
    int status = 0;
    return waitChild(child, child, status) ? statusOf(status) : kBoxError;
}

// The box's maker, a child of vxmbox: it makes the namespaces and starts the box's init in them.
// A process that has made a PID namespace can start nothing more once that namespace's init has
// ended, so this is not vxmbox itself, which may still need to (a sanitizer's leak check does).
[[noreturn]] void makeBox(const vxmbox::Box& box, const Places& places, const std::vector<std::string>& command,
                          const std::string& cwd, bool daemon) {
    if (geteuid() != 0) {
        std::string error = enterUserNamespace();
        if (!error.empty()) {
            message(error);
            _exit(kBoxError);
        }
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID) != 0) {
        message(std::string("cannot make the box's namespaces: ") + std::strerror(errno));
        _exit(kBoxError);
    }
    pid_t init = fork();
    if (init < 0) {
        message(std::string("cannot start the box: fork: ") + std::strerror(errno));
        _exit(kBoxError);
    }
    if (init == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        Init box_init(box, places, command, cwd, daemon);
        int status = box_init.run();
        std::fflush(nullptr);
        _exit(status);
    }
    _exit(waitPassingSignals(init));
}

int runBox(const vxmbox::Box& box, const Places& places, const std::vector<std::string>& command, bool daemon) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        message("the working directory cannot be named");
        return kBoxError;
    }
    if (daemon && access(places.daemon.c_str(), X_OK) != 0) {
        message("cannot find vxmopend at " + places.daemon + " (set VXMBOX_OPEND to its path)");
        return kBoxError;
    }
    blockSignals();
    std::fflush(nullptr);
    const pid_t self = getpid();
    pid_t maker = fork();
    if (maker < 0) {
        message(std::string("cannot start the box: fork: ") + std::strerror(errno));
        return kBoxError;
    }
    if (maker == 0) {
        // The box dies with vxmbox, whatever ends it: the maker with vxmbox, the init with the maker.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != self) _exit(kBoxError);
        makeBox(box, places, command, cwd, daemon);
    }
    return waitPassingSignals(maker);
}

int usageError(const std::string& text) {
    message(text);
    std::fprintf(stderr, "usage: vxmbox [--box FILE] [--no-daemon] run [--] COMMAND [ARGUMENT...] (vxmbox --help)\n");
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    const Places places = findPlaces();
    const std::string sample = places.share + "/sample.box";
    std::string boxFile;
    bool daemon = true;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::string usage = kUsage;
            usage.replace(usage.find("BOX_DEFAULT"), 11, sample);
            std::fputs(usage.c_str(), stdout);
            return 0;
        }
        if (arg == "--box") {
            if (i + 1 >= argc) return usageError("--box needs a file");
            boxFile = argv[++i];
        } else if (arg.rfind("--box=", 0) == 0) {
            boxFile = arg.substr(6);
        } else if (arg == "--no-daemon") {
            daemon = false;
        } else if (arg == "run") {
            ++i;
            break;
        } else {
            return usageError("unknown option or command '" + arg + "'");
        }
    }
    if (i < argc && std::strcmp(argv[i], "--") == 0) ++i;
    if (i >= argc) return usageError("no command to run");
    std::vector<std::string> command(argv + i, argv + argc);

    vxmbox::Box box;
    std::string error = vxmbox::readBoxFile(boxFile.empty() ? sample : boxFile, box);
    if (!error.empty()) {
        message(error);
        return kUsageError;
    }
    return runBox(box, places, command, daemon);
}
