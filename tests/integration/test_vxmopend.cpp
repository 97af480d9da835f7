// The open daemon as the library meets it: the real vxmopend binary on a socket in a private
// directory, spoken to by the channel's own request and close steps (cs_open, cs_close) and, for
// what the channel never sends, by raw bytes.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <climits>
#include <cstring>
#include <filesystem>

#include "support/files.h"
#include "support/opend_daemon.h"
#include "vxmosal/VXM_channel.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace vxmtest;

std::string proc(pid_t pid, const std::string& entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }
int fdCount(pid_t pid) {
    return static_cast<int>(std::distance(fs::directory_iterator(proc(pid, "fd")), fs::directory_iterator()));
}
// /proc/<pid>/stat after the name: state, parent, process group, ... ("" for no such process).
std::string stat(pid_t pid) {
    const std::string text = readFile(proc(pid, "stat"));
    return text.substr(std::min(text.size(), text.rfind(')') + 2));
}
bool running(pid_t pid) { return (stat(pid) + "Z")[0] != 'Z'; }  // neither gone nor a zombie
bool groupGone(pid_t group) { return kill(-group, 0) != 0; }

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}
// What a command prints up to its end, or only its first lines (what it left running may hold its
// output open).
std::string readLines(int fd, long count = LONG_MAX) {
    std::string out;
    char buffer[65536];
    for (ssize_t n = 1; n > 0 && std::count(out.begin(), out.end(), '\n') < count;)
        if ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, n);
    return out;
}

// Runs body(0) to body(count - 1) in forked children at once; their raw wait statuses.
template <typename Body>
std::vector<int> inChildren(int count, Body body) {
    std::vector<int> statuses(count, -1);
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i)
        if (pids.emplace_back(fork()) == 0) _exit(body(i));
    for (int i = 0; i < count; ++i) waitpid(pids[i], &statuses[i], 0);
    return statuses;
}

int connectTo(const std::string& path) {
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

// A request on a new connection: the passed descriptor (or minus the daemon's status) and the
// command's PID; what is left open is closed at the end.
struct Request {
    Request(const std::string& path, const std::string& command, const char* mode = "r") : sock(connectTo(path)) {
        fd = sock < 0 ? -1000 : cs_open(sock, command.c_str(), mode, &pid);
    }
    ~Request() { finish(0); }
    int finish(int timeoutMs = 10000) {  // the close byte, or -1; with 0 the client just leaves
        const int byte = cs_close(sock, fd, timeoutMs);
        sock = fd = -1;
        return byte;
    }
    int sock, fd = -1, pid = -1;
};

// One round trip in mode "r": the whole output and the close byte, or the refusal.
std::string run(const std::string& path, const std::string& command) {
    Request r(path, command);
    if (r.fd < 0) return "refused " + std::to_string(-r.fd);
    const std::string output = readLines(r.fd);
    return "[" + output + "] close " + std::to_string(r.finish()) + (r.pid > 0 ? "" : " without a PID");
}

// The reply to raw request bytes: its length and status ("0": closed without one). The daemon may
// answer, and close, before it has taken everything.
std::string rawReply(const std::string& path, const std::string& bytes) {
    const int sock = connectTo(path);
    for (ssize_t sent = 0, n = 0; n >= 0 && sent < static_cast<ssize_t>(bytes.size()); sent += n)
        n = send(sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    shutdown(sock, SHUT_WR);
    unsigned char reply[8];
    const ssize_t n = readable(sock, 5000) ? recv(sock, reply, sizeof reply, 0) : -1;
    close(sock);
    return std::to_string(n) + (n >= 2 ? " status " + std::to_string(reply[1]) : "");
}

// The daemon also serves nobody (65534). After each test it holds what it held at the start, has no
// child left, and stops cleanly.
class Vxmopend : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<std::string> allow = {"--allow-uid", "65534"};
        daemon_ = std::make_unique<OpendDaemon>(VXMOPEND_PATH, dir_.file("sock"), dir_.file("log"), allow);
        ASSERT_TRUE(daemon_->ready()) << daemon_->log();
        baselineFds_ = fdCount(daemon_->pid());
    }
    void TearDown() override {
        if (daemon_ == nullptr) return;
        expectSettled();
        stop();
    }
    void expectSettled() {
        const pid_t pid = daemon_->pid();
        const std::string children = proc(pid, "task/" + std::to_string(pid) + "/children");
        EXPECT_TRUE(waitUntil([&] { return fdCount(pid) == baselineFds_ && readFile(children).empty(); }, 5s))
            << "descriptors " << fdCount(pid) << " (at start " << baselineFds_ << "), children " << readFile(children);
    }
    // SIGTERM ends it with status 0, its sanitizers (in such builds) silent.
    void stop() {
        EXPECT_EQ(0, daemon_->stop());
        EXPECT_EQ(std::string::npos, daemon_->log().find("Sanitizer")) << daemon_->log();
        daemon_.reset();
    }
    const std::string& socket() const { return daemon_->socket(); }

    TempDir dir_;
    std::unique_ptr<OpendDaemon> daemon_;
    int baselineFds_ = 0;
};

// In either mode the command has only its stream open, in its own group. A client that reads once
// gets the close byte however much more output there is; 64 processes at once, as the channel's
// receive buffer belongs to its whole process, each get their exact outputs and statuses.
TEST_F(Vxmopend, RoundTripsInBothModesAndFromManyClientsAtOnce) {
    EXPECT_EQ(fs::status(socket()).permissions(), fs::perms(0660));
    EXPECT_EQ(run(socket(), "printf 'a\\nb'; kill -9 $$"), "[a\nb] close 137");
    const std::string logged = " mode=r command=\"printf 'a\\\\nb'; kill -9 $$\" status=0";
    EXPECT_TRUE(daemon_->logs("uid=" + std::to_string(getuid()) + logged)) << daemon_->log();
    for (const std::string mode : {"r", "w"}) {
        Request r(socket(), "exec sleep 5", mode.c_str());
        // Asleep in sleep itself: while the loader runs after the exec it holds libraries open.
        const std::string group = "S " + std::to_string(daemon_->pid()) + " " + std::to_string(r.pid) + " ";
        const auto asleep = [&] { return readFile(proc(r.pid, "comm")) == "sleep\n" && stat(r.pid).find(group) == 0; };
        ASSERT_TRUE(waitUntil(asleep, 3s)) << stat(r.pid);
        std::string listed;  // /proc lists the descriptors in order
        for (const fs::directory_entry& fd : fs::directory_iterator(proc(r.pid, "fd"))) {
            const std::string target = fs::read_symlink(fd.path());
            listed += " " + fd.path().filename().string() + "->" + target.substr(0, target[0] == 'p' ? 4 : 9);
        }
        EXPECT_EQ(listed, mode == "r" ? " 0->/dev/null 1->pipe 2->/dev/null" : " 0->pipe 1->/dev/null 2->/dev/null");
    }
    Request large(socket(), "yes | head -c 8388608");
    ASSERT_NE(readLines(large.fd, 1), "");
    EXPECT_EQ(large.finish(20000), 0);
    EXPECT_EQ(run(socket(), "head -c 1048576 /dev/zero | tr '\\0' z"), "[" + std::string(1048576, 'z') + "] close 0");
    const std::vector<int> failures = inChildren(64, [&](int t) {
        int failed = 0;
        for (int r = 0; r < 8; ++r) {
            const std::string word = std::to_string(t) + "-" + std::to_string(r), status = std::to_string(t % 5);
            failed += run(socket(), "echo " + word + "; exit " + status) != "[" + word + "\n] close " + status;
        }
        return failed;
    });
    EXPECT_EQ(failures, std::vector<int>(64, 0));
}

// A peer that has become another uid, in the socket's group, before it connects (the credentials are
// taken at connect).
TEST_F(Vxmopend, PeersOutsideTheAllowListGetStatus13) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another uid";
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0711));
    const std::vector<int> outcomes = inChildren(2, [&](int i) {
        const uid_t uid = i == 0 ? 65534 : 4242;
        gid_t group = 0;  // the socket's group
        const bool changed = setgroups(1, &group) == 0 && setgid(group) == 0 && setuid(uid) == 0;
        return changed && run(socket(), "echo ok") == (i == 0 ? "[ok\n] close 0" : "refused 13") ? 0 : 1;
    });
    EXPECT_EQ(outcomes, std::vector<int>(2, 0)) << "nobody served, uid 4242 refused";
    EXPECT_TRUE(daemon_->logs("uid=4242 mode=- command=\"\" status=13")) << daemon_->log();
}

// Cut short: no reply. Terminated but malformed: EINVAL. Past the request limit without a
// terminator: E2BIG. A silent peer is dropped after the request time-out, others served meanwhile.
// At its descriptor limit the daemon stops watching the listener instead of failing to accept in a
// loop, says so once, and serves again once the peers are gone.
TEST_F(Vxmopend, BrokenRequestsSilentPeersAndNoDescriptorsLeaveItServing) {
    const auto start = std::chrono::steady_clock::now();
    const int silent = connectTo(socket());
    const std::pair<std::string, std::string> rows[] = {
        {"open#ech", "0"}, {std::string("hello\0", 6), "2 status 22"}, {std::string("open#ls#x\0", 10), "2 status 22"},
        {std::string("open##r\0", 8), "2 status 22"}, {std::string("open#ls\0", 8), "2 status 22"},
        {"open#" + std::string(1 << 20, 'x'), "2 status 7"}};
    for (const auto& [bytes, reply] : rows) EXPECT_EQ(rawReply(socket(), bytes), reply) << bytes.substr(0, 20);
    EXPECT_EQ(run(socket(), "echo served"), "[served\n] close 0");
    EXPECT_FALSE(readable(silent, 0)) << "the silent peer was dropped before others were served";
    EXPECT_TRUE(readable(silent, 10000) && readLines(silent).empty()) << "the silent peer is dropped";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2500ms) << "after the request time-out";
    close(silent);
    const rlimit limit{64, 64};
    ASSERT_EQ(0, prlimit(daemon_->pid(), RLIMIT_NOFILE, &limit, nullptr));
    std::vector<int> idle;
    for (int i = 0; i < 100; ++i) idle.push_back(connectTo(socket()));
    ASSERT_TRUE(waitUntil([&] { return fdCount(daemon_->pid()) >= 64; }, 3s)) << fdCount(daemon_->pid());
    // A window shorter than the request time-out; a spinning loop uses about a second of CPU per second.
    const auto cpuNs = [&] { return std::stoull("0" + readFile(proc(daemon_->pid(), "schedstat"))); };
    const unsigned long long before = cpuNs();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpuNs() - before, 250000000u);
    const std::string shortage = "vxmopend: accept: Too many open files", log = daemon_->log();
    EXPECT_TRUE(log.find(shortage) != std::string::npos && log.find(shortage) == log.rfind(shortage)) << log;
    for (int fd : idle) close(fd);
    EXPECT_EQ(run(socket(), "echo served"), "[served\n] close 0");
}

// What a command leaves in its group ends when its client deserts it, with the request, or when the
// daemon stops (a subshell notes the SIGTERM it gets; a SIGKILL would leave no note); what left the
// group on purpose stays.
TEST_F(Vxmopend, TheCommandsGroupEndsWithTheRequestWhenItsClientLeavesOrAtStop) {
    Request deserted(socket(), "sleep 30 & sleep 31 & echo up; wait");
    ASSERT_EQ(readLines(deserted.fd, 1), "up\n");
    deserted.finish(0);
    EXPECT_TRUE(waitUntil([&] { return groupGone(deserted.pid); }, 6s));
    EXPECT_TRUE(daemon_->logs("client left before the command ended")) << daemon_->log();
    const std::string command = "sleep 100 & echo $!; setsid sleep 100 >/dev/null & echo $!";
    Request ended(socket(), command);
    const std::string lines = readLines(ended.fd, 2);
    const pid_t inGroup = std::atoi(lines.c_str()), left = std::atoi(lines.c_str() + lines.find('\n') + 1);
    ASSERT_TRUE(inGroup > 0 && left > 0) << lines;
    EXPECT_EQ(ended.finish(), 0);
    // The request's log line follows all that the daemon ends for it.
    EXPECT_TRUE(daemon_->logs("command=\"" + command + "\" status=0")) << daemon_->log();
    EXPECT_FALSE(running(inGroup));
    EXPECT_TRUE(running(left));
    kill(left, SIGKILL);
    expectSettled();
    const std::string note = dir_.file("noted");
    Request r(socket(), "(trap 'echo TERM > " + note + "; exit' TERM; echo up; sleep 30 & wait) & sleep 31; wait");
    ASSERT_EQ(readLines(r.fd, 1), "up\n");
    stop();
    EXPECT_NE(0, access(dir_.file("sock").c_str(), F_OK));
    EXPECT_TRUE(waitUntil([&] { return groupGone(r.pid); }, 5s));
    EXPECT_EQ(readFile(note), "TERM\n");
    EXPECT_EQ(readLines(r.sock), "") << "the socket ended without a close byte";
}

}  // namespace
