// The open daemon as the library meets it: the real vxmopend binary on a socket in a private
// directory, spoken to in the channel's byte formats by a small client of the test's own.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "support/files.h"
#include "support/opend_daemon.h"

namespace {

using Clock = std::chrono::steady_clock;
using vxmtest::readFile;
using vxmtest::waitUntil;

struct Fd {
    explicit Fd(int fd = -1) : fd(fd) {}
    Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    ~Fd() { reset(); }
    void reset() { if (fd >= 0) close(fd), fd = -1; }
    int get() const { return fd; }
    int fd;
};

// Fields of /proc/<pid>/stat after the name: state, parent, process group, CPU clock ticks.
struct ProcStat { char state = 0; pid_t ppid = 0, pgrp = 0; unsigned long cpu = 0; };

bool readStat(pid_t pid, ProcStat& out) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    if (text.rfind(')') == std::string::npos) return false;
    std::istringstream fields(text.substr(text.rfind(')') + 1));
    std::string skip;
    unsigned long user = 0, system = 0;
    if (!(fields >> out.state >> out.ppid >> out.pgrp)) return false;
    for (int i = 0; i < 8; ++i) fields >> skip;  // session to cmajflt
    if (fields >> user >> system) out.cpu = user + system;
    return true;
}

std::vector<std::string> entries(const std::string& path) {  // /proc lists a process's descriptors in order
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) names.push_back(it->path().filename());
    return names;
}

// Processes whose stat matches; a zombie counts only while its parent has yet to reap it (an
// orphan's zombie is init's).
template <typename Match>
int countProcesses(Match match) {
    int count = 0;
    ProcStat st;
    for (const std::string& name : entries("/proc"))
        if (name[0] >= '0' && name[0] <= '9' && readStat(std::stoi(name), st) && match(st) && (st.state != 'Z' || st.ppid != 1)) ++count;
    return count;
}
int childCount(pid_t parent) { return countProcesses([=](const ProcStat& st) { return st.ppid == parent; }); }
int groupSize(pid_t group) { return countProcesses([=](const ProcStat& st) { return st.pgrp == group; }); }
int fdCount(pid_t pid) { return static_cast<int>(entries("/proc/" + std::to_string(pid) + "/fd").size()); }

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}
Fd connectTo(const std::string& path) {
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd.reset();
    return fd;
}

// The request as the channel writes it: "open#", the command, "#" and the mode with a 0 byte.
bool sendRequest(int fd, const std::string& command, const std::string& mode) {
    const std::string piece = "#" + mode;
    iovec iov[3] = {{const_cast<char*>("open#"), 5}, {const_cast<char*>(command.data()), command.size()},
                    {const_cast<char*>(piece.c_str()), piece.size() + 1}};
    return writev(fd, iov, 3) == static_cast<ssize_t>(command.size() + piece.size() + 6);
}

struct Reply { int length = -1, status = -1; std::int32_t pid = -1; Fd fd; };  // length 0: end of file

Reply receiveReply(int fd, int timeoutMs = 5000) {
    Reply reply;
    if (!readable(fd, timeoutMs)) return reply;
    unsigned char status[2] = {}, pid[4] = {};
    iovec iov[2] = {{status, 2}, {pid, 4}};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{nullptr, 0, iov, 2, control, sizeof control, 0};
    reply.length = static_cast<int>(recvmsg(fd, &msg, MSG_CMSG_CLOEXEC));
    if (reply.length >= 2) reply.status = status[1];
    if (reply.length == 6) std::memcpy(&reply.pid, pid, 4);
    if (cmsghdr* h = CMSG_FIRSTHDR(&msg); h != nullptr && h->cmsg_type == SCM_RIGHTS) std::memcpy(&reply.fd.fd, CMSG_DATA(h), sizeof(int));
    return reply;
}

// The close byte, or -1 when none came within the time-out.
int closeByte(int fd, int timeoutMs = 10000) {
    unsigned char byte;
    return readable(fd, timeoutMs) && read(fd, &byte, 1) == 1 ? byte : -1;
}

std::string readAll(int fd) {
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;)
        if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR) break;
    return out;
}

// One round trip in mode "r": the status of a 6-byte reply, the whole output, the close byte.
std::string runRead(const std::string& socketPath, const std::string& command) {
    Fd sock = connectTo(socketPath);
    if (sock.get() < 0 || !sendRequest(sock.get(), command, "r")) return "no connection";
    Reply reply = receiveReply(sock.get());
    if (reply.fd.get() < 0) return "reply " + std::to_string(reply.length) + " status " + std::to_string(reply.status);
    const std::string output = readAll(reply.fd.get());
    return "status " + std::to_string(reply.length == 6 ? reply.status : -1) + " [" + output + "] close " + std::to_string(closeByte(sock.get()));
}

class Vxmopend : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        daemon_ = start("sock");
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
        baselineFds_ = fdCount(daemon_->pid());
    }
    // Every daemon stops cleanly on SIGTERM, its sanitizers (in such builds) silent.
    void TearDown() override {
        if (daemon_ != nullptr) stopClean(*daemon_);
    }
    std::unique_ptr<vxmtest::OpendDaemon> start(const std::string& name, std::vector<std::string> extra = {}) {
        return std::make_unique<vxmtest::OpendDaemon>(VXMOPEND_PATH, dir_.file(name), dir_.file(name + ".log"), std::move(extra));
    }
    static void stopClean(vxmtest::OpendDaemon& daemon) {
        EXPECT_EQ(0, daemon.stop());
        EXPECT_EQ(std::string::npos, daemon.log().find("Sanitizer")) << daemon.log();
    }
    // The daemon holds what it held at the start and has no child left.
    void expectSettled() {
        const pid_t pid = daemon_->pid();
        EXPECT_TRUE(waitUntil([&] { return fdCount(pid) == baselineFds_ && childCount(pid) == 0; }, std::chrono::seconds(5)))
            << "descriptors " << fdCount(pid) << " (at start " << baselineFds_ << "), children " << childCount(pid);
    }
    std::string run(const std::string& command) { return runRead(daemon_->socket(), command); }

    vxmtest::TempDir dir_;
    std::unique_ptr<vxmtest::OpendDaemon> daemon_;
    int baselineFds_ = 0;
};

TEST_F(Vxmopend, RoundTripsGiveExactOutputAndExitStatus) {
    struct stat st {};
    ASSERT_EQ(stat(daemon_->socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(run("printf 'a\\nb'; exit 3"), "status 0 [a\nb] close 3");
    EXPECT_EQ(run("kill -9 $$"), "status 0 [] close 137");
    EXPECT_EQ(run("echo x; kill -TERM $$"), "status 0 [x\n] close 143");
    // Mode "w": the descriptor feeds the command's standard input; a writer may keep it to the close byte.
    for (const char* command : {"cat > written", "read x; exit ${#x}"}) {
        Fd sock = connectTo(daemon_->socket());
        ASSERT_TRUE(sendRequest(sock.get(), "cd '" + dir_.path() + "' && " + command, "w"));
        Reply reply = receiveReply(sock.get());
        EXPECT_TRUE(reply.length == 6 && reply.status == 0 && reply.pid > 0) << reply.length << " " << reply.status;
        ASSERT_EQ(7, write(reply.fd.get(), "abcdef\n\0", 7));
        if (command[0] == 'c') reply.fd.reset();
        EXPECT_EQ(closeByte(sock.get()), command[0] == 'c' ? 0 : 6);
    }
    EXPECT_EQ(readFile(dir_.file("written")), "abcdef\n");
    expectSettled();
    EXPECT_TRUE(daemon_->logs("uid=" + std::to_string(getuid()) + " mode=r command=\"kill -9 $$\" status=0")) << daemon_->log();
    EXPECT_TRUE(daemon_->logs("exit=137")) << daemon_->log();
}

TEST_F(Vxmopend, CommandHasOnlyItsStreamOpenInItsOwnGroup) {
    for (const std::string mode : {"r", "w"}) {
        Fd sock = connectTo(daemon_->socket());
        ASSERT_TRUE(sendRequest(sock.get(), "exec sleep 5", mode));
        Reply reply = receiveReply(sock.get());
        ASSERT_EQ(6, reply.length);
        const std::string proc = "/proc/" + std::to_string(reply.pid);
        ProcStat st;
        // Asleep in sleep itself: while the loader runs after the exec it holds libraries open.
        ASSERT_TRUE(waitUntil([&] { return readFile(proc + "/comm") == "sleep\n" && readStat(reply.pid, st) && st.state == 'S'; },
                              std::chrono::seconds(3)));
        std::string listed;
        for (const std::string& fd : entries(proc + "/fd")) {
            char target[256] = {};
            readlink((proc + "/fd/" + fd).c_str(), target, sizeof target - 1);
            listed += " " + fd + "->" + (std::strncmp(target, "pipe:", 5) == 0 ? "pipe" : target);
        }
        EXPECT_EQ(listed, mode == "r" ? " 0->/dev/null 1->pipe 2->/dev/null" : " 0->pipe 1->/dev/null 2->/dev/null");
        EXPECT_EQ(st.pgrp, reply.pid);
        EXPECT_EQ(st.ppid, daemon_->pid());
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
            std::string outcome = "could not become nobody";
            if (setgroups(1, &group) == 0 && setgid(65534) == 0 && setuid(65534) == 0) outcome = runRead(other->socket(), "echo ok");
            (void)!write(results[1], outcome.data(), outcome.size());
            _exit(0);
        }
        close(results[1]);
        const std::string outcome = readAll(results[0]);
        close(results[0]);
        waitpid(child, nullptr, 0);
        EXPECT_EQ(outcome, allowed ? "status 0 [ok\n] close 0" : "reply 2 status 13");
        if (!allowed) EXPECT_TRUE(other->logs("uid=65534 mode=- command=\"\" status=13")) << other->log();
        stopClean(*other);
    }
}

TEST_F(Vxmopend, BrokenRequestsAndSilentPeersLeaveItServing) {
    const auto start = Clock::now();
    Fd silent = connectTo(daemon_->socket());
    ASSERT_GE(silent.get(), 0);
    // Cut short before the terminator: no reply. Terminated but malformed: EINVAL, 2 bytes, no descriptor.
    for (const std::string bad : {std::string("open#ech"), std::string("hello\0", 6), std::string("open#ls#x\0", 10),
                                  std::string("open##r\0", 8), std::string("open#ls\0", 8)}) {
        Fd sock = connectTo(daemon_->socket());
        ASSERT_EQ(static_cast<ssize_t>(bad.size()), write(sock.get(), bad.data(), bad.size()));
        shutdown(sock.get(), SHUT_WR);
        Reply reply = receiveReply(sock.get());
        EXPECT_EQ(std::to_string(reply.length) + " " + std::to_string(reply.status) + " " + std::to_string(reply.fd.get() >= 0),
                  bad.back() == '\0' ? "2 " + std::to_string(EINVAL) + " 0" : "0 -1 0") << bad;
    }
    // 1 MB without a terminator: refused with E2BIG once it passes the request limit.
    Fd sock = connectTo(daemon_->socket());
    const std::string big = "open#" + std::string(1024 * 1024, 'x');
    std::thread writer([&] {
        for (ssize_t sent = 0, n; sent < static_cast<ssize_t>(big.size()); sent += n)
            if ((n = send(sock.get(), big.data() + sent, big.size() - sent, MSG_NOSIGNAL)) <= 0) break;
    });
    Reply reply = receiveReply(sock.get());
    writer.join();
    EXPECT_EQ(std::to_string(reply.length) + " " + std::to_string(reply.status), "2 " + std::to_string(E2BIG));
    // While the silent peer waits, others are served at once; it is dropped after the request time-out.
    EXPECT_EQ(run("echo served"), "status 0 [served\n] close 0");
    EXPECT_FALSE(readable(silent.get(), 0)) << "the silent peer was dropped before others were served";
    EXPECT_EQ(receiveReply(silent.get(), 10000).length, 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(run("echo served"), "status 0 [served\n] close 0");
    expectSettled();
}

// What a command leaves in its group ends with the request, or when its client deserts it; what
// left the group on purpose stays.
TEST_F(Vxmopend, TheCommandsGroupEndsWithTheRequestOrWhenItsClientLeaves) {
    {
        Fd sock = connectTo(daemon_->socket());
        ASSERT_TRUE(sendRequest(sock.get(), "sleep 30 & sleep 31; wait", "r"));
        Reply reply = receiveReply(sock.get());
        ASSERT_TRUE(waitUntil([&] { return groupSize(reply.pid) == 3; }, std::chrono::seconds(3))) << groupSize(reply.pid);
        reply.fd.reset();
        sock.reset();
        EXPECT_TRUE(waitUntil([&] { return groupSize(reply.pid) == 0; }, std::chrono::seconds(6))) << groupSize(reply.pid);
        EXPECT_TRUE(daemon_->logs("client left before the command ended")) << daemon_->log();
    }
    for (const std::string command : {"sleep 100 & echo $!", "setsid sleep 100 >/dev/null & echo $!"}) {
        const bool stays = command[0] == 's' && command[1] == 'e';
        Fd sock = connectTo(daemon_->socket());
        ASSERT_TRUE(sendRequest(sock.get(), command, "r"));
        Reply reply = receiveReply(sock.get());
        std::string line;  // the background child holds the output open: only its first line
        for (char c = 0; c != '\n' && read(reply.fd.get(), &c, 1) == 1;) line += c;
        const pid_t pid = std::atoi(line.c_str());
        ASSERT_GT(pid, 0) << command;
        EXPECT_EQ(closeByte(sock.get()), 0);
        auto running = [pid] {
            ProcStat st;
            return readStat(pid, st) && st.state != 'Z';
        };
        if (stays) {  // the request's log line follows the end of all that the daemon ends for it
            EXPECT_TRUE(daemon_->logs("command=\"" + command + "\" status=0")) << daemon_->log();
            EXPECT_TRUE(running()) << command;
            kill(pid, SIGKILL);
        } else {
            EXPECT_TRUE(waitUntil([&] { return !running(); }, std::chrono::seconds(5))) << command;
        }
    }
    expectSettled();
}

// At its descriptor limit the daemon stops watching the listener instead of failing to accept in a
// loop, says so once, and serves again once the peers are gone.
TEST_F(Vxmopend, OutOfDescriptorsItWaitsWithoutSpinning) {
    const rlimit limit{64, 64};
    ASSERT_EQ(0, prlimit(daemon_->pid(), RLIMIT_NOFILE, &limit, nullptr));
    std::vector<Fd> idle;
    for (int i = 0; i < 100; ++i) idle.push_back(connectTo(daemon_->socket()));
    ASSERT_TRUE(waitUntil([&] { return fdCount(daemon_->pid()) >= 64; }, std::chrono::seconds(3))) << fdCount(daemon_->pid());
    // A window shorter than the request time-out; a spinning loop uses about a second of CPU per second.
    ProcStat before, after;
    ASSERT_TRUE(readStat(daemon_->pid(), before));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(readStat(daemon_->pid(), after));
    EXPECT_LT(static_cast<double>(after.cpu - before.cpu) / static_cast<double>(sysconf(_SC_CLK_TCK)), 0.25);
    const std::string shortage = "vxmopend: accept: Too many open files", log = daemon_->log();
    EXPECT_NE(std::string::npos, log.find(shortage)) << log;
    EXPECT_EQ(log.find(shortage), log.rfind(shortage)) << log;
    idle.clear();
    EXPECT_EQ(run("echo served"), "status 0 [served\n] close 0");
    expectSettled();
}

TEST_F(Vxmopend, LargeOutputNeverHoldsBackTheCloseByte) {
    const std::string command = "head -c 1048576 /dev/zero | tr '\\0' z";
    // A client that reads once and then waits for the close byte, also with more output than the
    // daemon holds back for a lagging client; then one that reads to the end.
    for (const std::string& cmd : {command, std::string("head -c 8388608 /dev/zero")}) {
        Fd sock = connectTo(daemon_->socket());
        ASSERT_TRUE(sendRequest(sock.get(), cmd, "r"));
        Reply reply = receiveReply(sock.get());
        char buffer[4096];
        ASSERT_GT(read(reply.fd.get(), buffer, sizeof buffer), 0);
        EXPECT_EQ(buffer[0], cmd == command ? 'z' : '\0');
        EXPECT_EQ(closeByte(sock.get(), 20000), 0) << cmd;
    }
    EXPECT_EQ(run(command), "status 0 [" + std::string(1048576, 'z') + "] close 0");
    expectSettled();
}

TEST_F(Vxmopend, ManyRoundTripsLeaveDescriptorsAndChildrenAsTheyWere) {
    int failures = 0;
    for (int i = 0; i < 300; ++i) failures += run("echo " + std::to_string(i)) != "status 0 [" + std::to_string(i) + "\n] close 0";
    EXPECT_EQ(failures, 0);
    std::atomic<int> parallelFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 64; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < 8; ++r) {
                const std::string word = std::to_string(t) + "-" + std::to_string(r);
                parallelFailures += run("echo " + word + "; exit " + std::to_string(t % 5)) !=
                                    "status 0 [" + word + "\n] close " + std::to_string(t % 5);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(parallelFailures.load(), 0);
    expectSettled();
}

TEST_F(Vxmopend, SigtermRemovesTheSocketAndEndsTheCommands) {
    Fd sock = connectTo(daemon_->socket());
    ASSERT_TRUE(sendRequest(sock.get(), "sleep 30", "r"));
    Reply reply = receiveReply(sock.get());
    ASSERT_TRUE(waitUntil([&] { return groupSize(reply.pid) >= 1; }, std::chrono::seconds(3)));
    stopClean(*daemon_);
    daemon_.reset();
    EXPECT_NE(0, access(dir_.file("sock").c_str(), F_OK));
    EXPECT_EQ(0, groupSize(reply.pid));
    EXPECT_EQ(-1, closeByte(sock.get(), 100)) << "the socket ended without a close byte";
}

}  // namespace
