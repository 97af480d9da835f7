// The open daemon as the library meets it: the real vxmopend binary on a socket in a private
// directory, spoken to in the channel's byte formats by a small client of the test's own.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/opend_daemon.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(other.fd_);
            other.fd_ = -1;
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Fields of /proc/<pid>/stat after the command name: state, parent, process group, and the clock
// ticks of CPU time used (user and system).
struct ProcStat {
    char state = 0;
    pid_t ppid = 0;
    pid_t pgrp = 0;
    unsigned long cpu = 0;
};

bool readStat(pid_t pid, ProcStat& out) {
    // Read through readFile: an istreambuf_iterator throws when the process ends during the read.
    const std::string text = vxmtest::readFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = text.rfind(')');
    if (paren == std::string::npos) return false;
    std::istringstream fields(text.substr(paren + 1));
    std::string skip;
    unsigned long user = 0, system = 0;
    if (!(fields >> out.state >> out.ppid >> out.pgrp)) return false;
    for (int i = 0; i < 8; ++i) fields >> skip;  // session to cmajflt
    if (fields >> user >> system) out.cpu = user + system;
    return true;
}

std::vector<pid_t> processes() {
    std::vector<pid_t> pids;
    if (DIR* dir = opendir("/proc")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') pids.push_back(std::atoi(entry->d_name));
        }
        closedir(dir);
    }
    return pids;
}

int childCount(pid_t parent) {
    int count = 0;
    ProcStat st;
    for (pid_t pid : processes())
        if (readStat(pid, st) && st.ppid == parent) ++count;
    return count;
}

// Members of a process group still running; a zombie counts only while its parent has yet to reap
// it (an orphan's zombie is init's to reap).
int groupSize(pid_t group) {
    int count = 0;
    ProcStat st;
    for (pid_t pid : processes())
        if (readStat(pid, st) && st.pgrp == group && (st.state != 'Z' || st.ppid != 1)) ++count;
    return count;
}

int fdCount(pid_t pid) {
    int count = 0;
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

// Waits until check() holds, at most timeout; returns whether it did.
template <typename Check>
bool waitFor(Check check, std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    while (!check()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

// The client side of the formats: request, reply, close byte.
struct Reply {
    int length = -1;  // bytes received, -1 on failure, 0 for end of file
    int status = -1;
    std::int32_t pid = -1;
    Fd fd;
};

Fd connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd.reset();
    return fd;
}

bool sendRequest(int fd, const std::string& command, const char* mode) {
    char piece[10];
    std::snprintf(piece, sizeof piece, "#%s", mode);
    iovec iov[3] = {{const_cast<char*>("open#"), 5},
                    {const_cast<char*>(command.data()), command.size()},
                    {piece, std::strlen(piece) + 1}};
    return writev(fd, iov, 3) == static_cast<ssize_t>(5 + command.size() + std::strlen(piece) + 1);
}

Reply receiveReply(int fd, int timeoutMs = 5000) {
    Reply reply;
    if (!readable(fd, timeoutMs)) return reply;
    unsigned char status[2] = {};
    unsigned char pid[4] = {};
    iovec iov[2] = {{status, 2}, {pid, 4}};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    reply.length = static_cast<int>(n);
    if (n >= 2) reply.status = status[1];
    if (n == 6) std::memcpy(&reply.pid, pid, 4);
    for (cmsghdr* h = CMSG_FIRSTHDR(&msg); h != nullptr; h = CMSG_NXTHDR(&msg, h)) {
        if (h->cmsg_level == SOL_SOCKET && h->cmsg_type == SCM_RIGHTS) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(h), sizeof passed);
            reply.fd.reset(passed);
        }
    }
    return reply;
}

// The close byte, or -1 when none came within the time-out.
int closeByte(int fd, int timeoutMs = 10000) {
    if (!readable(fd, timeoutMs)) return -1;
    unsigned char byte;
    return read(fd, &byte, 1) == 1 ? byte : -1;
}

std::string readAll(int fd) {
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// One round trip: the command's whole output and its close byte.
struct Outcome {
    int status = -1;
    std::string output;
    int close = -1;
};

Outcome runRead(const std::string& socketPath, const std::string& command) {
    Outcome outcome;
    Fd sock = connectTo(socketPath);
    if (sock.get() < 0 || !sendRequest(sock.get(), command, "r")) return outcome;
    Reply reply = receiveReply(sock.get());
    outcome.status = reply.length == 6 ? reply.status : -1;
    if (reply.fd.get() < 0) return outcome;
    outcome.output = readAll(reply.fd.get());
    outcome.close = closeByte(sock.get());
    return outcome;
}

// The daemon binary on a socket in the test's directory, its log beside it.
class Daemon : public vxmtest::OpendDaemon {
public:
    Daemon(const std::string& dir, const std::string& name, std::vector<std::string> extra = {})
        : OpendDaemon(VXMOPEND_PATH, dir + "/" + name, dir + "/" + name + ".log", std::move(extra)) {}
};

class VxmopendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        daemon_ = std::make_unique<Daemon>(dir_.path(), "sock");
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
        baselineFds_ = fdCount(daemon_->pid());
    }

    // Every daemon stops cleanly on SIGTERM, its sanitizers (in such builds) silent.
    void TearDown() override {
        if (daemon_ == nullptr) return;
        EXPECT_EQ(0, daemon_->stop());
        EXPECT_EQ(std::string::npos, daemon_->log().find("Sanitizer")) << daemon_->log();
    }

    // The daemon holds what it held at the start and has no child left.
    void expectSettled() {
        pid_t pid = daemon_->pid();
        EXPECT_TRUE(waitFor([&] { return fdCount(pid) == baselineFds_ && childCount(pid) == 0; },
                            std::chrono::seconds(5)))
            << "descriptors " << fdCount(pid) << " (at start " << baselineFds_ << "), children " << childCount(pid);
    }

    vxmtest::TempDir dir_;
    std::unique_ptr<Daemon> daemon_;
    int baselineFds_ = 0;
};

TEST_F(VxmopendTest, RoundTripsGiveExactOutputAndExitStatus) {
    EXPECT_EQ((mode_t)0660, [&] {
        struct stat st {};
        stat(daemon_->socket().c_str(), &st);
        return st.st_mode & 07777;
    }());

    Fd sock = connectTo(daemon_->socket());
    ASSERT_TRUE(sendRequest(sock.get(), "printf 'a\\nb'; exit 3", "r"));
    Reply reply = receiveReply(sock.get());
    ASSERT_EQ(6, reply.length);
    EXPECT_EQ(0, reply.status);
    EXPECT_GT(reply.pid, 0);
    ASSERT_GE(reply.fd.get(), 0);
    EXPECT_EQ("a\nb", readAll(reply.fd.get()));
    EXPECT_EQ(3, closeByte(sock.get()));

    Outcome killed = runRead(daemon_->socket(), "kill -9 $$");
    EXPECT_EQ(0, killed.status);
    EXPECT_EQ(128 + SIGKILL, killed.close);
    EXPECT_EQ(128 + SIGTERM, runRead(daemon_->socket(), "echo x; kill -TERM $$").close);

    // Mode "w": the descriptor feeds the command's standard input.
    std::string file = dir_.file("written");
    Fd wsock = connectTo(daemon_->socket());
    ASSERT_TRUE(sendRequest(wsock.get(), "cat > '" + file + "'", "w"));
    Reply wreply = receiveReply(wsock.get());
    ASSERT_EQ(6, wreply.length);
    EXPECT_EQ(0, wreply.status);
    ASSERT_EQ(6, write(wreply.fd.get(), "line\n\0", 6));
    wreply.fd.reset();
    EXPECT_EQ(0, closeByte(wsock.get()));
    EXPECT_EQ(std::string("line\n\0", 6), vxmtest::readFile(file));

    // A writer that keeps its descriptor until the close byte, as the library's channel does.
    Fd lsock = connectTo(daemon_->socket());
    ASSERT_TRUE(sendRequest(lsock.get(), "read x; exit ${#x}", "w"));
    Reply lreply = receiveReply(lsock.get());
    ASSERT_EQ(7, write(lreply.fd.get(), "abcdef\n", 7));
    EXPECT_EQ(6, closeByte(lsock.get()));

    expectSettled();
    std::string log = daemon_->log();
    EXPECT_NE(std::string::npos, log.find("uid=" + std::to_string(getuid()) + " mode=r command=\"kill -9 $$\" status=0"))
        << log;
    EXPECT_NE(std::string::npos, log.find("exit=137")) << log;
}

TEST_F(VxmopendTest, CommandHasOnlyItsStreamOpenInItsOwnGroup) {
    for (const char* mode : {"r", "w"}) {
        Fd sock = connectTo(daemon_->socket());
        ASSERT_TRUE(sendRequest(sock.get(), "exec sleep 5", mode));
        Reply reply = receiveReply(sock.get());
        ASSERT_EQ(6, reply.length);
        pid_t pid = reply.pid;
        // Asleep in sleep itself: while the dynamic loader runs after the exec, it holds the
        // libraries it opens on descriptors of their own.
        ASSERT_TRUE(waitFor(
            [&] {
                std::string comm = vxmtest::readFile("/proc/" + std::to_string(pid) + "/comm");
                ProcStat now;
                return comm == "sleep\n" && readStat(pid, now) && now.state == 'S';
            },
            std::chrono::seconds(3)));
        std::map<std::string, std::string> fds;
        std::string dir = "/proc/" + std::to_string(pid) + "/fd";
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                if (e->d_name[0] == '.') continue;
                char target[256] = {};
                ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
                fds[e->d_name] = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?";
            }
            closedir(d);
        }
        std::string stream = mode[0] == 'r' ? "1" : "0";
        std::string other = mode[0] == 'r' ? "0" : "1";
        std::string listed;
        for (const auto& [number, target] : fds) listed += " " + number + "->" + target;
        ASSERT_EQ(3u, fds.size()) << mode << listed;
        EXPECT_EQ("/dev/null", fds[other]) << mode;
        EXPECT_EQ("/dev/null", fds["2"]) << mode;
        EXPECT_EQ(0u, fds[stream].rfind("pipe:[", 0)) << mode << " " << fds[stream];
        ProcStat st;
        ASSERT_TRUE(readStat(pid, st));
        EXPECT_EQ(pid, st.pgrp);
        EXPECT_EQ(daemon_->pid(), st.ppid);
    }
    expectSettled();
}

// A second daemon whose allow list leaves out the peer's uid; the peer is a child that has become
// nobody before it connects (the credentials are taken at connect).
TEST_F(VxmopendTest, PeersOutsideTheAllowListGetStatus13) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another uid";
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0711));
    for (bool allowed : {false, true}) {
        Daemon other(dir_.path(), allowed ? "allowing" : "refusing", {"--allow-uid", allowed ? "65534" : "4242"});
        ASSERT_TRUE(other.ready());
        ASSERT_EQ(0, chown(other.socket().c_str(), static_cast<uid_t>(-1), kNobody));
        int results[2];
        ASSERT_EQ(0, pipe(results));
        pid_t child = fork();
        if (child == 0) {
            close(results[0]);
            gid_t group = kNobody;
            if (setgroups(1, &group) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
            Fd sock = connectTo(other.socket());
            int values[4] = {-1, -1, -1, -1};
            if (sock.get() >= 0 && sendRequest(sock.get(), "echo ok", "r")) {
                Reply reply = receiveReply(sock.get());
                values[0] = reply.length;
                values[1] = reply.status;
                values[2] = reply.fd.get() >= 0 ? 1 : 0;
                if (reply.fd.get() >= 0) values[3] = readAll(reply.fd.get()) == "ok\n" ? closeByte(sock.get()) : -2;
            }
            ssize_t ignored = write(results[1], values, sizeof values);
            (void)ignored;
            _exit(0);
        }
        close(results[1]);
        int values[4] = {};
        ASSERT_EQ(static_cast<ssize_t>(sizeof values), read(results[0], values, sizeof values));
        close(results[0]);
        int status = 0;
        waitpid(child, &status, 0);
        if (allowed) {
            EXPECT_EQ(6, values[0]);
            EXPECT_EQ(0, values[1]);
            EXPECT_EQ(0, values[3]);  // exact output, close byte 0
        } else {
            EXPECT_EQ(2, values[0]);
            EXPECT_EQ(13, values[1]);
            EXPECT_EQ(0, values[2]);
            EXPECT_TRUE(waitFor([&] { return other.log().find("uid=65534 mode=- command=\"\" status=13") != std::string::npos; },
                                std::chrono::seconds(3)))
                << other.log();
        }
        EXPECT_EQ(0, other.stop());
        EXPECT_EQ(std::string::npos, other.log().find("Sanitizer")) << other.log();
    }
}

TEST_F(VxmopendTest, BrokenRequestsAndSilentPeersLeaveItServing) {
    auto start = Clock::now();
    Fd silent = connectTo(daemon_->socket());
    ASSERT_GE(silent.get(), 0);

    // Truncated: the peer stops sending before the terminator; no reply, connection closed.
    {
        Fd sock = connectTo(daemon_->socket());
        ASSERT_EQ(8, write(sock.get(), "open#ech", 8));
        shutdown(sock.get(), SHUT_WR);
        Reply reply = receiveReply(sock.get());
        EXPECT_EQ(0, reply.length);
    }
    // Terminated but malformed: status EINVAL in the 2-byte form, no descriptor.
    for (std::string bad : {std::string("hello\0", 6), std::string("open#ls#x\0", 10), std::string("open##r\0", 8),
                            std::string("open#ls\0", 8)}) {
        Fd sock = connectTo(daemon_->socket());
        ASSERT_EQ(static_cast<ssize_t>(bad.size()), write(sock.get(), bad.data(), bad.size()));
        Reply reply = receiveReply(sock.get());
        EXPECT_EQ(2, reply.length) << bad;
        EXPECT_EQ(EINVAL, reply.status) << bad;
        EXPECT_LT(reply.fd.get(), 0);
    }
    // 1 MB without a terminator: refused with E2BIG once it passes the request limit.
    {
        Fd sock = connectTo(daemon_->socket());
        std::string big = "open#" + std::string(1024 * 1024, 'x');
        std::thread writer([&] {
            std::size_t sent = 0;
            while (sent < big.size()) {
                ssize_t n = send(sock.get(), big.data() + sent, big.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
        });
        Reply reply = receiveReply(sock.get());
        writer.join();
        EXPECT_EQ(2, reply.length);
        EXPECT_EQ(E2BIG, reply.status);
    }
    // While the silent peer waits, others are served at once.
    Outcome ok = runRead(daemon_->socket(), "echo served");
    EXPECT_EQ("served\n", ok.output);
    EXPECT_EQ(0, ok.close);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

    // The silent peer is dropped after the request time-out.
    Reply dropped = receiveReply(silent.get(), 10000);
    auto waited = Clock::now() - start;
    EXPECT_EQ(0, dropped.length);
    EXPECT_GE(waited, std::chrono::milliseconds(2500));
    EXPECT_LT(waited, std::chrono::seconds(8));

    EXPECT_EQ("served\n", runRead(daemon_->socket(), "echo served").output);
    expectSettled();
}

TEST_F(VxmopendTest, DesertedCommandHasItsGroupEnded) {
    Fd sock = connectTo(daemon_->socket());
    ASSERT_TRUE(sendRequest(sock.get(), "sleep 30 & sleep 31; wait", "r"));
    Reply reply = receiveReply(sock.get());
    ASSERT_EQ(6, reply.length);
    pid_t group = reply.pid;
    ASSERT_TRUE(waitFor([&] { return groupSize(group) == 3; }, std::chrono::seconds(3))) << groupSize(group);
    reply.fd.reset();
    sock.reset();
    EXPECT_TRUE(waitFor([&] { return groupSize(group) == 0; }, std::chrono::seconds(6))) << groupSize(group);
    expectSettled();
    EXPECT_TRUE(daemon_->logs("client left before the command ended")) << daemon_->log();
}

// What a command leaves in its group ends with the request; what left the group on purpose stays.
TEST_F(VxmopendTest, BackgroundChildrenEndWithTheRequestUnlessTheyLeftTheGroup) {
    struct Row {
        const char* command;
        bool stays;
    };
    for (const Row& row : {Row{"sleep 100 & echo $!", false}, Row{"setsid sleep 100 >/dev/null & echo $!", true}}) {
        SCOPED_TRACE(row.command);
        Fd sock = connectTo(daemon_->socket());
        ASSERT_TRUE(sendRequest(sock.get(), row.command, "r"));
        Reply reply = receiveReply(sock.get());
        ASSERT_GE(reply.fd.get(), 0);
        std::string line;
        for (char c = 0; c != '\n' && read(reply.fd.get(), &c, 1) == 1;) line += c;
        const pid_t pid = std::atoi(line.c_str());
        ASSERT_GT(pid, 0) << line;
        EXPECT_EQ(0, closeByte(sock.get()));
        reply.fd.reset();
        sock.reset();
        auto running = [pid] {
            ProcStat st;
            return readStat(pid, st) && st.state != 'Z';
        };
        if (row.stays) {
            // The request's log line follows the end of all that the daemon ends for it.
            EXPECT_TRUE(daemon_->logs(std::string("command=\"") + row.command + "\" status=0")) << daemon_->log();
            EXPECT_TRUE(running());
            kill(pid, SIGKILL);
        } else {
            EXPECT_TRUE(waitFor([&] { return !running(); }, std::chrono::seconds(5)));
        }
    }
    expectSettled();
}

// At its descriptor limit the daemon stops watching the listener instead of failing to accept
// in a loop, says so once, and serves again once the peers are gone.
TEST_F(VxmopendTest, OutOfDescriptorsItWaitsWithoutSpinning) {
    const rlimit limit{64, 64};
    ASSERT_EQ(0, prlimit(daemon_->pid(), RLIMIT_NOFILE, &limit, nullptr));
    std::vector<Fd> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(connectTo(daemon_->socket()));
        ASSERT_GE(idle.back().get(), 0);
    }
    ASSERT_TRUE(waitFor([&] { return fdCount(daemon_->pid()) >= 64; }, std::chrono::seconds(3))) << fdCount(daemon_->pid());

    // A window shorter than the request time-out that drops the idle peers. A spinning loop uses
    // about a second of CPU per second here.
    ProcStat before, after;
    const auto start = Clock::now();
    ASSERT_TRUE(readStat(daemon_->pid(), before));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_TRUE(readStat(daemon_->pid(), after));
    const double cpuPerSecond = static_cast<double>(after.cpu - before.cpu) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                                std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(cpuPerSecond, 0.2);
    std::printf("at the descriptor limit with %zu idle peers: %.3f s of CPU per second\n", idle.size(), cpuPerSecond);
    const std::string shortage = "vxmopend: accept: Too many open files", log = daemon_->log();
    EXPECT_NE(std::string::npos, log.find(shortage)) << log;
    EXPECT_EQ(log.find(shortage), log.rfind(shortage)) << log;

    idle.clear();
    Outcome ok = runRead(daemon_->socket(), "echo served");
    EXPECT_EQ("served\n", ok.output);
    EXPECT_EQ(0, ok.close);
    expectSettled();
}

TEST_F(VxmopendTest, LargeOutputNeverHoldsBackTheCloseByte) {
    const std::string command = "head -c 1048576 /dev/zero | tr '\\0' z";
    // A client that reads once and then waits for the close byte; also with more output than the
    // daemon holds back for a lagging client.
    for (const std::string& cmd : {command, std::string("head -c 8388608 /dev/zero")}) {
        Fd sock = connectTo(daemon_->socket());
        ASSERT_TRUE(sendRequest(sock.get(), cmd, "r"));
        Reply reply = receiveReply(sock.get());
        ASSERT_GE(reply.fd.get(), 0);
        char buffer[4096];
        ASSERT_GT(read(reply.fd.get(), buffer, sizeof buffer), 0);
        EXPECT_EQ(cmd == command ? 'z' : '\0', buffer[0]);
        EXPECT_EQ(0, closeByte(sock.get(), 20000)) << cmd;
    }

    // A client that reads to the end gets every byte.
    Outcome full = runRead(daemon_->socket(), command);
    EXPECT_EQ(std::string(1048576, 'z'), full.output);
    EXPECT_EQ(0, full.close);
    expectSettled();
}

TEST_F(VxmopendTest, SoakLeavesDescriptorsAndChildrenAsTheyWere) {
    EXPECT_EQ(0, childCount(daemon_->pid()));
    int failures = 0;
    for (int i = 0; i < 1000; ++i) {
        Outcome o = runRead(daemon_->socket(), "echo " + std::to_string(i));
        if (o.status != 0 || o.output != std::to_string(i) + "\n" || o.close != 0) ++failures;
    }
    EXPECT_EQ(0, failures);

    constexpr int kThreads = 64, kRounds = 16;
    std::atomic<int> parallelFailures{0}, done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                std::string word = std::to_string(t) + "-" + std::to_string(r);
                Outcome o = runRead(daemon_->socket(), "echo " + word + "; exit " + std::to_string(t % 5));
                if (o.status != 0 || o.output != word + "\n" || o.close != t % 5) ++parallelFailures;
                ++done;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(kThreads * kRounds, done.load());
    EXPECT_EQ(0, parallelFailures.load());
    expectSettled();
    std::printf("soak: 1000 sequential and %d parallel round trips; descriptors %d at start, %d at end; children %d\n",
                kThreads * kRounds, baselineFds_, fdCount(daemon_->pid()), childCount(daemon_->pid()));
}

TEST_F(VxmopendTest, SigtermRemovesTheSocketAndEndsTheCommands) {
    Fd sock = connectTo(daemon_->socket());
    ASSERT_TRUE(sendRequest(sock.get(), "sleep 30", "r"));
    Reply reply = receiveReply(sock.get());
    ASSERT_EQ(6, reply.length);
    pid_t group = reply.pid;
    ASSERT_TRUE(waitFor([&] { return groupSize(group) >= 1; }, std::chrono::seconds(3)));
    std::string path = daemon_->socket();
    EXPECT_EQ(0, daemon_->stop());
    struct stat st;
    EXPECT_NE(0, stat(path.c_str(), &st));
    EXPECT_EQ(0, groupSize(group)) << [&] {
        std::string who;
        ProcStat ps;
        for (pid_t p : processes())
            if (readStat(p, ps) && ps.pgrp == group) who += std::to_string(p) + ":" + ps.state + " ppid " + std::to_string(ps.ppid) + " ";
        return who;
    }();
    EXPECT_EQ(-1, closeByte(sock.get(), 100));  // the socket ended without a close byte
}

}  // namespace
