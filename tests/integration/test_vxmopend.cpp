// The open daemon as the library meets it: the real vxmopend binary on a socket in a private
// directory, spoken to by the channel's own request and close steps (cs_open, cs_close) and, for
// what the channel never sends, by raw bytes.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "support/files.h"
#include "support/opend_daemon.h"
#include "vxmosal/VXM_channel.h"

namespace {

using vxmtest::readFile;
using vxmtest::waitUntil;

std::vector<std::string> entries(const std::string& path) {  // /proc lists a process's descriptors in order
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) names.push_back(it->path().filename());
    return names;
}
int fdCount(pid_t pid) { return static_cast<int>(entries("/proc/" + std::to_string(pid) + "/fd").size()); }

// Fields of /proc/<pid>/stat after the name: state (0: no such process), parent, process group,
// CPU clock ticks.
struct ProcStat { char state = 0; pid_t ppid = 0, pgrp = 0; unsigned long cpu = 0; };
ProcStat procStat(pid_t pid) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(text.substr(std::min(text.size(), text.rfind(')') + 1)));
    ProcStat st;
    std::string skip;
    unsigned long user = 0, system = 0;
    fields >> st.state >> st.ppid >> st.pgrp >> skip >> skip >> skip >> skip >> skip >> skip >> skip >> skip >> user >> system;
    return st.cpu = user + system, st;
}
bool running(pid_t pid) { return procStat(pid).state != 0 && procStat(pid).state != 'Z'; }
// Processes whose stat matches; a zombie counts only while its parent has yet to reap it.
template <typename Match>
int countProcesses(Match match) {
    int count = 0;
    for (const std::string& name : entries("/proc")) {
        const ProcStat st = name[0] >= '1' && name[0] <= '9' ? procStat(std::stoi(name)) : ProcStat{};
        count += st.state != 0 && match(st) && (st.state != 'Z' || st.ppid != 1);
    }
    return count;
}
int groupSize(pid_t group) { return countProcesses([=](const ProcStat& st) { return st.pgrp == group; }); }

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}
int closeByte(int sock, int timeoutMs = 10000) {  // or -1 when none came
    unsigned char byte;
    return readable(sock, timeoutMs) && read(sock, &byte, 1) == 1 ? byte : -1;
}
std::string readAll(int fd) {
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);) out.append(buffer, std::max<ssize_t>(n, 0));
    return out;
}

int connectTo(const std::string& path) {
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : (close(fd), -1);
}

// A request on a new connection: the passed descriptor (or minus the daemon's status) and the PID.
struct Request { int sock, fd, pid; };
Request request(const std::string& path, const std::string& command, const char* mode) {
    Request r{connectTo(path), -1, -1};
    r.fd = r.sock < 0 ? -1000 : cs_open(r.sock, command.c_str(), mode, &r.pid);
    return r;
}

// One round trip in mode "r": the whole output and the close byte, or the refusal.
std::string run(const std::string& path, const std::string& command) {
    const Request r = request(path, command, "r");
    if (r.fd < 0) return close(r.sock), "refused " + std::to_string(-r.fd);
    const std::string output = readAll(r.fd);
    return "[" + output + "] close " + std::to_string(cs_close(r.sock, r.fd, 10000)) + (r.pid > 0 ? "" : " without a PID");
}

// The reply to raw request bytes: its length and status ("0": closed without one).
std::string rawReply(const std::string& path, const std::string& bytes) {
    const int sock = connectTo(path);
    std::thread writer([&] {  // the daemon may answer before it has taken everything
        for (ssize_t sent = 0, n; sent < static_cast<ssize_t>(bytes.size()); sent += n)
            if ((n = send(sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL)) <= 0) break;
        shutdown(sock, SHUT_WR);
    });
    unsigned char reply[8];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    iovec iov{reply, sizeof reply};
    msghdr message{nullptr, 0, &iov, 1, control, sizeof control, 0};
    const ssize_t n = readable(sock, 5000) ? recvmsg(sock, &message, MSG_CMSG_CLOEXEC) : -1;
    writer.join();
    close(sock);
    return std::to_string(n) + (n >= 2 ? " status " + std::to_string(reply[1]) : "") + (n >= 0 && message.msg_controllen > 0 ? " with a descriptor" : "");
}

class Vxmopend : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        daemon_ = start("sock");
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
        baselineFds_ = fdCount(daemon_->pid());
    }
    void TearDown() override {
        if (daemon_ != nullptr) stopClean(*daemon_);
    }
    std::unique_ptr<vxmtest::OpendDaemon> start(const std::string& name, std::vector<std::string> extra = {}) {
        return std::make_unique<vxmtest::OpendDaemon>(VXMOPEND_PATH, dir_.file(name), dir_.file(name + ".log"), std::move(extra));
    }
    // Every daemon stops cleanly on SIGTERM, its sanitizers (in such builds) silent.
    static void stopClean(vxmtest::OpendDaemon& daemon) {
        EXPECT_EQ(0, daemon.stop());
        EXPECT_EQ(std::string::npos, daemon.log().find("Sanitizer")) << daemon.log();
    }
    // The daemon holds what it held at the start and has no child left.
    void expectSettled() {
        const pid_t pid = daemon_->pid();
        auto children = [pid] { return countProcesses([=](const ProcStat& st) { return st.ppid == pid; }); };
        EXPECT_TRUE(waitUntil([&] { return fdCount(pid) == baselineFds_ && children() == 0; }, std::chrono::seconds(5)))
            << "descriptors " << fdCount(pid) << " (at start " << baselineFds_ << "), children " << children();
    }
    std::string run(const std::string& command) { return ::run(daemon_->socket(), command); }
    Request request(const std::string& command, const char* mode = "r") { return ::request(daemon_->socket(), command, mode); }

    vxmtest::TempDir dir_;
    std::unique_ptr<vxmtest::OpendDaemon> daemon_;
    int baselineFds_ = 0;
};

TEST_F(Vxmopend, RoundTripsGiveExactOutputAndExitStatus) {
    struct stat st {};
    ASSERT_EQ(stat(daemon_->socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(run("printf 'a\\nb'; exit 3"), "[a\nb] close 3");
    EXPECT_EQ(run("kill -9 $$"), "[] close 137");
    EXPECT_EQ(run("echo x; kill -TERM $$"), "[x\n] close 143");
    // Mode "w" feeds the command's standard input; the close byte comes while the writer still
    // holds its descriptor, once the command has ended.
    const Request w = request("read x; exit ${#x}", "w");
    ASSERT_EQ(write(w.fd, "abcdef\n", 7), 7);
    EXPECT_EQ(closeByte(w.sock), 6);
    close(w.fd), close(w.sock);
    expectSettled();
    EXPECT_TRUE(daemon_->logs("uid=" + std::to_string(getuid()) + " mode=r command=\"kill -9 $$\" status=0")) << daemon_->log();
    EXPECT_TRUE(daemon_->logs("exit=137")) << daemon_->log();
}

TEST_F(Vxmopend, CommandHasOnlyItsStreamOpenInItsOwnGroup) {
    for (const std::string mode : {"r", "w"}) {
        const Request r = request("exec sleep 5", mode.c_str());
        const std::string proc = "/proc/" + std::to_string(r.pid);
        ProcStat st;
        // Asleep in sleep itself: while the loader runs after the exec it holds libraries open.
        ASSERT_TRUE(waitUntil([&] { return readFile(proc + "/comm") == "sleep\n" && (st = procStat(r.pid)).state == 'S'; }, std::chrono::seconds(3)));
        std::string listed;
        for (const std::string& fd : entries(proc + "/fd")) {
            char target[256] = {};
            readlink((proc + "/fd/" + fd).c_str(), target, sizeof target - 1);
            listed += " " + fd + "->" + (std::strncmp(target, "pipe:", 5) == 0 ? "pipe" : target);
        }
        EXPECT_EQ(listed, mode == "r" ? " 0->/dev/null 1->pipe 2->/dev/null" : " 0->pipe 1->/dev/null 2->/dev/null");
        EXPECT_TRUE(st.pgrp == r.pid && st.ppid == daemon_->pid()) << st.pgrp << " " << st.ppid;
        close(r.fd), close(r.sock);
    }
    expectSettled();
}

// A second daemon whose allow list leaves out or names the peer's uid; the peer is a child that has
// become nobody before it connects (the credentials are taken at connect).
TEST_F(Vxmopend, PeersOutsideTheAllowListGetStatus13) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another uid";
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0711));
    for (const bool allowed : {false, true}) {
        auto other = start(allowed ? "allowing" : "refusing", {"--allow-uid", allowed ? "65534" : "4242"});
        ASSERT_TRUE(other->ready());
        ASSERT_EQ(0, chown(other->socket().c_str(), static_cast<uid_t>(-1), 65534));
        int results[2];
        ASSERT_EQ(0, pipe(results));
        const pid_t child = fork();
        if (child == 0) {
            gid_t group = 65534;
            const std::string outcome = setgroups(1, &group) == 0 && setgid(65534) == 0 && setuid(65534) == 0 ? ::run(other->socket(), "echo ok") : "not nobody";
            _exit(write(results[1], outcome.data(), outcome.size()) < 0);
        }
        close(results[1]);
        EXPECT_EQ(readAll(results[0]), allowed ? "[ok\n] close 0" : "refused 13");
        close(results[0]);
        waitpid(child, nullptr, 0);
        EXPECT_TRUE(allowed || other->logs("uid=65534 mode=- command=\"\" status=13")) << other->log();
        stopClean(*other);
    }
}

TEST_F(Vxmopend, BrokenRequestsAndSilentPeersLeaveItServing) {
    const auto start = std::chrono::steady_clock::now();
    const int silent = connectTo(daemon_->socket());
    // Cut short: no reply. Terminated but malformed: EINVAL without a descriptor. 1 MB without a
    // terminator: E2BIG once it passes the request limit.
    const std::pair<std::string, std::string> rows[] = {
        {"open#ech", "0"}, {std::string("hello\0", 6), "2 status 22"}, {std::string("open#ls#x\0", 10), "2 status 22"},
        {std::string("open##r\0", 8), "2 status 22"}, {std::string("open#ls\0", 8), "2 status 22"}, {"open#" + std::string(1 << 20, 'x'), "2 status 7"}};
    for (const auto& [bytes, reply] : rows) EXPECT_EQ(rawReply(daemon_->socket(), bytes), reply) << bytes.substr(0, 20);
    EXPECT_EQ(run("echo served"), "[served\n] close 0");
    EXPECT_FALSE(readable(silent, 0)) << "the silent peer was dropped before others were served";
    char byte;
    EXPECT_TRUE(readable(silent, 10000) && read(silent, &byte, 1) == 0) << "the silent peer is dropped";
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500)) << "after the request time-out";
    close(silent);
    expectSettled();
}

// What a command leaves in its group ends with the request, or when its client deserts it; what
// left the group on purpose stays.
TEST_F(Vxmopend, TheCommandsGroupEndsWithTheRequestOrWhenItsClientLeaves) {
    const Request deserted = request("sleep 30 & sleep 31; wait");
    ASSERT_TRUE(waitUntil([&] { return groupSize(deserted.pid) == 3; }, std::chrono::seconds(3))) << groupSize(deserted.pid);
    close(deserted.fd), close(deserted.sock);
    EXPECT_TRUE(waitUntil([&] { return groupSize(deserted.pid) == 0; }, std::chrono::seconds(6))) << groupSize(deserted.pid);
    EXPECT_TRUE(daemon_->logs("client left before the command ended")) << daemon_->log();
    for (const std::string command : {"sleep 100 & echo $!", "setsid sleep 100 >/dev/null & echo $!"}) {
        const Request r = request(command);
        std::string line;  // the background child holds the output open: only its first line
        for (char c = 0; c != '\n' && read(r.fd, &c, 1) == 1;) line += c;
        const pid_t pid = std::atoi(line.c_str());
        ASSERT_GT(pid, 0) << command;
        EXPECT_EQ(closeByte(r.sock), 0);
        close(r.fd), close(r.sock);
        if (command[0] == 's' && command[1] == 'e') {  // the request's log line follows all that the daemon ends for it
            EXPECT_TRUE(daemon_->logs("command=\"" + command + "\" status=0")) << daemon_->log();
            EXPECT_TRUE(running(pid)) << command;
            kill(pid, SIGKILL);
        } else {
            EXPECT_TRUE(waitUntil([&] { return !running(pid); }, std::chrono::seconds(5))) << command;
        }
    }
    expectSettled();
}

// At its descriptor limit the daemon stops watching the listener instead of failing to accept in a
// loop, says so once, and serves again once the peers are gone.
TEST_F(Vxmopend, OutOfDescriptorsItWaitsWithoutSpinning) {
    const rlimit limit{64, 64};
    ASSERT_EQ(0, prlimit(daemon_->pid(), RLIMIT_NOFILE, &limit, nullptr));
    std::vector<int> idle;
    for (int i = 0; i < 100; ++i) idle.push_back(connectTo(daemon_->socket()));
    ASSERT_TRUE(waitUntil([&] { return fdCount(daemon_->pid()) >= 64; }, std::chrono::seconds(3))) << fdCount(daemon_->pid());
    // A window shorter than the request time-out; a spinning loop uses about a second of CPU per second.
    const ProcStat before = procStat(daemon_->pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(static_cast<double>(procStat(daemon_->pid()).cpu - before.cpu) / static_cast<double>(sysconf(_SC_CLK_TCK)), 0.25);
    const std::string shortage = "vxmopend: accept: Too many open files", log = daemon_->log();
    EXPECT_TRUE(log.find(shortage) != std::string::npos && log.find(shortage) == log.rfind(shortage)) << log;
    for (int fd : idle) close(fd);
    EXPECT_EQ(run("echo served"), "[served\n] close 0");
    expectSettled();
}

TEST_F(Vxmopend, LargeOutputNeverHoldsBackTheCloseByte) {
    // A client that reads once and then waits for the close byte, also with more output than the
    // daemon holds back for a lagging client; then one that reads to the end.
    const std::string command = "head -c 1048576 /dev/zero | tr '\\0' z";
    for (const std::string& cmd : {command, std::string("head -c 8388608 /dev/zero")}) {
        const Request r = request(cmd);
        char first = 1;
        ASSERT_EQ(read(r.fd, &first, 1), 1);
        EXPECT_EQ(first, cmd == command ? 'z' : '\0');
        EXPECT_EQ(cs_close(r.sock, r.fd, 20000), 0) << cmd;
    }
    EXPECT_EQ(run(command), "[" + std::string(1048576, 'z') + "] close 0");
    expectSettled();
}

// In 64 processes at once, as the channel's receive buffer belongs to its whole process.
TEST_F(Vxmopend, ManyRoundTripsLeaveDescriptorsAndChildrenAsTheyWere) {
    int failures = 0;
    std::vector<pid_t> clients;
    for (int t = 0; t < 64; ++t) {
        if ((clients.emplace_back(fork())) != 0) continue;
        int failed = 0;
        for (int r = 0; r < 8; ++r) {
            const std::string word = std::to_string(t) + "-" + std::to_string(r), status = std::to_string(t % 5);
            failed += run("echo " + word + "; exit " + status) != "[" + word + "\n] close " + status;
        }
        _exit(failed);
    }
    for (pid_t client : clients) {
        int status = -1;
        waitpid(client, &status, 0);
        failures += WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    }
    EXPECT_EQ(failures, 0);
    expectSettled();
}

TEST_F(Vxmopend, SigtermRemovesTheSocketAndEndsTheCommands) {
    // A subshell of the group notes the SIGTERM it gets; a SIGKILL would leave no note.
    const std::string note = dir_.file("noted");
    const Request r = request("(trap 'echo TERM > " + note + "; exit' TERM; sleep 30 & wait) & sleep 31; wait");
    ASSERT_TRUE(waitUntil([&] { return groupSize(r.pid) == 4; }, std::chrono::seconds(3)));
    stopClean(*daemon_);
    daemon_.reset();
    EXPECT_NE(0, access(dir_.file("sock").c_str(), F_OK));
    EXPECT_EQ(0, groupSize(r.pid));
    EXPECT_EQ(readFile(note), "TERM\n");
    EXPECT_EQ(-1, closeByte(r.sock, 100)) << "the socket ended without a close byte";
    close(r.fd), close(r.sock);
}

}  // namespace
