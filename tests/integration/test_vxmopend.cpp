// The open daemon as the library meets it: the real vxmopend binary on a socket in a private
// directory, spoken to by the channel's own request and close steps (cs_open, cs_close).
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <climits>
#include <filesystem>

#include "support/files.h"
#include "support/wait_until.h"
#include "vxmosal/VXM_channel.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace vxmtest;

std::string proc(pid_t pid, const std::string& entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }
// /proc/<pid>/stat after the name: state, parent, process group, ... ("" for no such process).
std::string stat(pid_t pid) {
    const std::string text = readFile(proc(pid, "stat"));
    return text.substr(std::min(text.size(), text.rfind(')') + 2));
}
bool running(pid_t pid) { return (stat(pid) + "Z")[0] != 'Z'; }  // neither gone nor a zombie

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
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : (close(fd), -1);
}

// A request on a new connection: the passed descriptor (or minus the daemon's status) and the
// command's PID; what is left open is closed at the end.
struct Request {
    Request(const std::string& path, const std::string& command, const char* mode = "r") : sock(connectTo(path)) {
        fd = cs_open(sock, command.c_str(), mode, &pid);
    }
    ~Request() { finish(0); }
    int finish(int timeoutMs = 10000) {  // the close byte, or -1; with 0 the client just leaves
        return cs_close(std::exchange(sock, -1), std::exchange(fd, -1), timeoutMs);
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

// The real daemon on a socket in the test's directory, its log (standard error) in a file; it also
// serves nobody (65534). After each test it holds what it held at the start, has no child left, and
// stops cleanly.
class Vxmopend : public ::testing::Test {
protected:
    void SetUp() override {
        // In a cross build the command starts with the emulator that runs a target program.
        const std::string command =
            "exec " VXMOPEND_COMMAND " --socket " + socket_ + " --allow-uid 65534 2>" + dir_.file("log");
        if ((pid_ = fork()) == 0) _exit(execl("/bin/sh", "sh", "-c", command.c_str(), nullptr));
        // Served once a connect is taken; the probe's session is over once it is logged.
        const auto probed = [&] { return close(connectTo(socket_)) == 0; };
        ASSERT_TRUE(waitUntil(probed, 5s) && logs("request truncated")) << log();
        baselineFds_ = openDescriptors(pid_);
    }
    void TearDown() override {
        if (pid_ < 0) return;
        expectSettled();
        stop();
    }
    void expectSettled() {
        const std::string children = proc(pid_, "task/" + std::to_string(pid_) + "/children");
        EXPECT_TRUE(waitUntil([&] { return openDescriptors(pid_) == baselineFds_ && readFile(children).empty(); }, 5s))
            << "descriptors " << openDescriptors(pid_) << " (at start " << baselineFds_ << "), children " << readFile(children);
    }
    // SIGTERM ends it with status 0 within 5 s, its sanitizers (in such builds) silent.
    void stop() {
        int status = -1;
        kill(pid_, SIGTERM);
        if (!waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 5s)) kill(pid_, SIGKILL);
        waitpid(std::exchange(pid_, -1), nullptr, 0);
        EXPECT_EQ(status, 0) << "the raw wait status";
        EXPECT_EQ(std::string::npos, log().find("Sanitizer")) << log();
    }
    std::string log() const { return readFile(dir_.file("log")); }
    // Whether the log comes to hold text within 5 s (a request's line follows its command's end).
    bool logs(const std::string& text) const {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, 5s);
    }

    TempDir dir_;
    const std::string socket_ = dir_.file("sock");
    pid_t pid_ = -1;
    long baselineFds_ = 0;
};

// In either mode the command has only its stream open, in its own group. A client that reads once
// gets the close byte however much more output there is; 128 processes at once (more than the daemon
// accepts in one turn; processes, as the channel's receive buffer belongs to its whole process) each
// get their exact outputs and statuses.
TEST_F(Vxmopend, RoundTripsInBothModesAndFromManyClientsAtOnce) {
    EXPECT_EQ(fs::status(socket_).permissions(), fs::perms(0660));
    EXPECT_EQ(run(socket_, "printf 'a\\nb'; kill -9 $$"), "[a\nb] close 137");
    const std::string logged = " mode=r command=\"printf 'a\\\\nb'; kill -9 $$\" status=0";
    EXPECT_TRUE(logs("uid=" + std::to_string(getuid()) + logged)) << log();
    for (const std::string mode : {"r", "w"}) {
        const std::string program = mode == "r" ? "sleep" : "cat";
        Request r(socket_, "exec " + program + (mode == "r" ? " 5" : ""), mode.c_str());
        // Waiting in the program itself: while the loader runs after the exec it holds libraries open.
        const std::string group = "S " + std::to_string(pid_) + " " + std::to_string(r.pid) + " ";
        const auto waiting = [&] {
            return readFile(proc(r.pid, "comm")) == program + "\n" && stat(r.pid).find(group) == 0;
        };
        ASSERT_TRUE(waitUntil(waiting, 3s)) << stat(r.pid);
        std::string listed;  // in order; each target cut to 6 characters: "/dev/n(ull)", "pipe:[(inode)]"
        for (const fs::directory_entry& fd : fs::directory_iterator(proc(r.pid, "fd")))
            listed += " " + fd.path().filename().string() + "->" + fs::read_symlink(fd.path()).string().substr(0, 6);
        EXPECT_EQ(listed, mode == "r" ? " 0->/dev/n 1->pipe:[ 2->/dev/n" : " 0->pipe:[ 1->/dev/n 2->/dev/n");
        // cat learns of the end of its input only when the descriptor is closed: the close must not
        // wait for the command before the command can see that end.
        if (mode == "w") EXPECT_EQ(r.finish(), 0);
    }
    Request large(socket_, "yes | head -c 8388608");
    ASSERT_NE(readLines(large.fd, 1), "");
    EXPECT_EQ(large.finish(20000), 0);
    EXPECT_EQ(run(socket_, "head -c 1048576 /dev/zero | tr '\\0' z"), "[" + std::string(1048576, 'z') + "] close 0");
    const std::vector<int> failures = inChildren(128, [&](int t) {
        const std::string word = "word" + std::to_string(t), status = std::to_string(t % 5);
        return run(socket_, "echo " + word + "; exit " + status) != "[" + word + "\n] close " + status;
    });
    EXPECT_EQ(failures, std::vector<int>(128, 0));
}

// A peer that has become another uid, in the socket's group, before it connects (the credentials are
// taken at connect).
TEST_F(Vxmopend, PeersOutsideTheAllowListGetStatus13) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another uid";
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0711));
    const std::vector<int> outcomes = inChildren(2, [&](int i) {
        gid_t group = 0;  // the socket's group
        const bool changed = setgroups(1, &group) == 0 && setgid(group) == 0 && setuid(i == 0 ? 65534 : 4242) == 0;
        return changed && run(socket_, "echo ok") == (i == 0 ? "[ok\n] close 0" : "refused 13") ? 0 : 1;
    });
    EXPECT_EQ(outcomes, std::vector<int>(2, 0)) << "nobody served, uid 4242 refused";
    EXPECT_TRUE(logs("uid=4242 mode=- command=\"\" status=13")) << log();
}

// A malformed request gets EINVAL, one past the request limit E2BIG. A peer that stops in the middle
// of its request is dropped unanswered after the request time-out, others served meanwhile.
// At its descriptor limit the daemon stops watching the listener instead of failing to accept in a
// loop, says so once, and serves again once the peers are gone.
TEST_F(Vxmopend, BrokenRequestsSilentPeersAndNoDescriptorsLeaveItServing) {
    const auto start = std::chrono::steady_clock::now();
    const int silent = connectTo(socket_);
    ASSERT_EQ(send(silent, "open#ech", 8, 0), 8);  // and no more
    EXPECT_EQ(run(socket_, ""), "refused 22");
    EXPECT_EQ(run(socket_, std::string(70000, 'x')), "refused 7") << "past the request limit of 64 KiB";
    EXPECT_EQ(run(socket_, "echo served"), "[served\n] close 0");
    EXPECT_FALSE(readable(silent, 0)) << "the silent peer was dropped before others were served";
    EXPECT_TRUE(readable(silent, 10000) && readLines(silent).empty()) << "the silent peer is dropped unanswered";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2500ms) << "after the request time-out";
    close(silent);
    const rlimit limit{64, 64};
    ASSERT_EQ(0, prlimit(pid_, RLIMIT_NOFILE, &limit, nullptr));
    std::vector<int> idle;
    for (int i = 0; i < 100; ++i) idle.push_back(connectTo(socket_));
    ASSERT_TRUE(waitUntil([&] { return openDescriptors(pid_) >= 64; }, 3s)) << openDescriptors(pid_);
    // A window shorter than the request time-out; a spinning loop uses about a second of CPU per second.
    const auto cpuNs = [&] { return std::stoull("0" + readFile(proc(pid_, "schedstat"))); };
    const unsigned long long before = cpuNs();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpuNs() - before, 250000000u);
    const std::string shortage = "vxmopend: accept: Too many open files", text = log();
    EXPECT_TRUE(text.find(shortage) != std::string::npos && text.find(shortage) == text.rfind(shortage)) << text;
    for (int fd : idle) close(fd);
    ASSERT_TRUE(waitUntil([&] { return openDescriptors(pid_) == baselineFds_; }, 5s)) << "the idle peers' hang-ups seen";
    EXPECT_EQ(run(socket_, "echo served"), "[served\n] close 0");
}

// What a command leaves in its group ends when its client deserts it, with the request, or when the
// daemon stops (a subshell notes the SIGTERM it gets; a SIGKILL would leave no note); what left the
// group on purpose stays.
TEST_F(Vxmopend, TheCommandsGroupEndsWithTheRequestWhenItsClientLeavesOrAtStop) {
    Request deserted(socket_, "sleep 30 & sleep 31 & echo up; wait");
    ASSERT_EQ(readLines(deserted.fd, 1), "up\n");
    deserted.finish(0);
    EXPECT_TRUE(waitUntil([&] { return kill(-deserted.pid, 0) != 0; }, 6s));
    EXPECT_TRUE(logs("client left before the command ended")) << log();
    const std::string command = "sleep 100 & echo $!; setsid sleep 100 >/dev/null & echo $!";
    Request ended(socket_, command);
    const std::string lines = readLines(ended.fd, 2);
    const pid_t inGroup = std::atoi(lines.c_str()), left = std::atoi(lines.c_str() + lines.find('\n') + 1);
    ASSERT_TRUE(inGroup > 0 && left > 0) << lines;
    // The request is over with its shell, the client still there: the group ends, and its output.
    EXPECT_TRUE(readable(ended.fd, 5000) && readLines(ended.fd).empty()) << "the output ends with the group";
    EXPECT_EQ(ended.finish(), 0);
    // The request's log line follows all that the daemon ends for it.
    EXPECT_TRUE(logs("command=\"" + command + "\" status=0")) << log();
    EXPECT_TRUE(!running(inGroup) && running(left)) << "the group's sleep ended, the one that left the group runs";
    kill(left, SIGKILL);
    expectSettled();
    const std::string note = dir_.file("noted");
    Request r(socket_, "(trap 'echo TERM > " + note + "; exit' TERM; echo up; sleep 30 & wait) & sleep 31; wait");
    ASSERT_EQ(readLines(r.fd, 1), "up\n");
    stop();
    EXPECT_NE(0, access(dir_.file("sock").c_str(), F_OK));
    EXPECT_TRUE(waitUntil([&] { return kill(-r.pid, 0) != 0; }, 5s));
    EXPECT_EQ(readFile(note), "TERM\n");
    EXPECT_EQ(readLines(r.sock), "") << "the socket ended without a close byte";
}

}  // namespace
