// The channel client against a scripted fake daemon on /tmp/vxmopend: the request byte for byte,
// every accepted and refused reply shape, the passed descriptor, the 3-second wait, the close byte
// with its time-outs, SIGPIPE while handles are open, the logcat PID tracking and the three command
// functions. Runs in a box, whose private /tmp it needs; elsewhere every test skips.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/private_tmp.h"
#include "support/wait_until.h"
#include "vxmosal/VXM_channel.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using vxmtest::isOpen, vxmtest::Steady;

Bytes reply6(std::uint8_t status, std::int32_t pid) {
    Bytes bytes = {0, status, 0, 0, 0, 0};
    std::memcpy(&bytes[2], &pid, sizeof pid);
    return bytes;
}

const std::string U = "4 os_utility ";  // the channel's own records

// What the fake daemon does with its connection: it reads the request; sends each message leadMs
// late (with a file holding output when its flag is set) and waits until the client has taken it,
// so that no two are read as one; after delayMs sends the close byte (none when negative); and waits
// for the hang-up. closeByte -2: it hangs up once the messages are out.
struct Script {
    std::vector<std::pair<Bytes, bool>> messages;
    std::string output;
    int closeByte = 0, delayMs = 0, leadMs = 0;
};

// The open daemon on /tmp/vxmopend (the box's /tmp is private), played by a thread that serves one
// connection by a script. The socket file goes with it.
struct FakeOpend {
    explicit FakeOpend(const Script& script) {
        const sockaddr_un address{AF_UNIX, "/tmp/vxmopend"};
        EXPECT_TRUE(bind(sock_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                    listen(sock_, 4) == 0);
        thread_ = std::thread([this, script] {
            pollfd entry{sock_, POLLIN, 0};
            const int fd = poll(&entry, 1, 5000) == 1 ? accept4(sock_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (fd < 0) return;
            char buffer[4096];
            entry = {fd, POLLIN | POLLRDHUP, 0};
            for (ssize_t got; request_.first.find('\0') == std::string::npos && poll(&entry, 1, 3000) > 0 &&
                              (got = recv(fd, buffer, sizeof buffer, 0)) > 0;
                 ++request_.second)
                request_.first.append(buffer, got);
            for (const auto& [bytes, withFile] : script.messages) {
                std::this_thread::sleep_for(std::chrono::milliseconds(script.leadMs));
                const int passed = withFile ? memfd_create("output", MFD_CLOEXEC) : -1;
                const ssize_t size = script.output.size();
                EXPECT_TRUE(passed < 0 || pwrite(passed, script.output.data(), size, 0) == size);
                iovec piece{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
                alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
                msghdr message{nullptr, 0, &piece, 1, control, passed >= 0 ? sizeof control : 0, 0};
                *reinterpret_cast<cmsghdr*>(control) = cmsghdr{CMSG_LEN(sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
                std::memcpy(control + CMSG_LEN(0), &passed, sizeof passed);
                sendmsg(fd, &message, MSG_NOSIGNAL);
                close(passed);
                int unread = 0;  // SIOCOUTQ on a local socket counts the bytes the peer has not yet read
                const auto taken = [&] { return ioctl(fd, SIOCOUTQ, &unread) != 0 || unread == 0; };
                vxmtest::waitUntil(taken, std::chrono::seconds(3));
            }
            if (script.closeByte != -2) {
                std::this_thread::sleep_for(std::chrono::milliseconds(script.delayMs));
                const std::uint8_t closeByte = script.closeByte;
                if (script.closeByte >= 0) send(fd, &closeByte, 1, MSG_NOSIGNAL);
                while (poll(&entry, 1, 10000) > 0 && recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) continue;
            }
            close(fd);
        });
    }
    ~FakeOpend() {
        finish();
        close(sock_);
        unlink("/tmp/vxmopend");
    }
    // Waits for the script's end: the request it read and in how many reads (none without a client).
    std::pair<std::string, int> finish() {
        if (thread_.joinable()) thread_.join();
        return std::exchange(request_, {});
    }
    int sock_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::thread thread_;
    std::pair<std::string, int> request_;
};

// The busybox stand-in beside the fakes answers "busybox pgrep logcat" from the files of pgrep_.
struct Channel : ::testing::Test {
    void SetUp() override {
        if (std::string why = vxmtest::privateTmpMissing(); !why.empty()) GTEST_SKIP() << why;
        setenv("PATH", (std::string(VXM_FAKES_DIR) + ":" + std::getenv("PATH")).c_str(), 1);
        setenv("VXM_FAKE_PGREP_DIR", pgrep_.path().c_str(), 1);
    }
    vxmtest::TempDir pgrep_;
};

void markPipe(int) {}

// Each accepted reply is closed in its own way: the close byte at once, a hang-up without one (a
// server failure), a silent time-out, a time-out of 0 that does not wait for a late byte, and -1 that
// does. SIGPIPE is ignored while the handle is open and the handler found is back after the close.
TEST_F(Channel, RepliesGiveTheDescriptorAndThePidOrNoHandle) {
    const std::string failed = U + "cs_open: recv_fd faild, rcvpid=55\n";
    const std::string format = U + "recv_fd: message format error\n" + failed;
    const auto before = signal(SIGPIPE, markPipe);
    struct sigaction now {};
    // The close: the byte the fake sends (-2: it hangs up, -1: none), how late, the wait, the result.
    // The 3 seconds of the reply start afresh for each message.
    struct Close { int byte, delayMs, timeoutMs, result; };
    struct Row { const char* name; bool accepted; std::vector<std::pair<Bytes, bool>> messages; std::int32_t pid;
                 std::string log = ""; Close close = {-1, 0, -1, -1}; int leadMs = 0; const char* mode = "r"; };
    const Row rows[] = {
        {"6 bytes", true, {{reply6(0, 1234), true}}, 1234, "", {6, 0, -1, 6}},
        {"2 bytes", true, {{{0, 0}, true}}, -1, U + "cs_close: C: server failed\n", {-2, 0, -1, -1}},
        {"4 bytes: two bytes of the PID area, the rest 0", true, {{{0, 0, 0x34, 0x12}, true}}, 0x1234, "",
         {-1, 0, 500, -1}},
        {"a non-zero first byte is skipped", true, {{{9, 0, 1, 2, 3, 4}, false}, {reply6(0, 77), true}}, 77, "",
         {9, 500, 0, -1}},
        {"one byte is ignored, its descriptor closed", true, {{{0}, true}, {reply6(0, 4321), true}}, 4321, "",
         {255, 300, -1, 255}, 0, "w"},
        {"status 13 in 2 bytes", false, {{{0, 13}, true}}, 55, failed},
        {"3 bytes", false, {{{0, 0, 0}, true}}, 55, format},
        {"5 bytes", false, {{{0, 0, 1, 2, 3}, true}}, 55, format},
        {"status 0 without a descriptor", false, {{reply6(0, 5), false}}, 55, format},
        {"a skipped short message leaves no room for a PID", false, {{{1, 0}, false}, {reply6(0, 77), true}}, 55,
         format},
        {"hang-up before the reply", false, {}, 55, failed, {-2}},
        {"a late 1-byte message, then silence", false, {{{0}, false}}, 55,
         U + "recv_fd: C: msg timeout or select error 3s\n" + failed, {-1}, 1500}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeOpend fake({row.messages, "out\n", row.close.byte, row.close.delayMs, row.leadMs});
        vxmtest::LogCapture log;
        const long fds = vxmtest::openDescriptors();
        int fd = -77, pid = 55;
        auto start = Steady::now();
        VXM_CS_HANDLE* handle = VXM_csopen("echo out", row.mode, &fd, &pid);
        EXPECT_GE(vxmtest::msSince(start), row.leadMs * 3);
        ASSERT_EQ(handle != nullptr, row.accepted);
        EXPECT_EQ(pid, row.pid);
        if (handle) {
            EXPECT_TRUE(handle->fd == fd && isOpen(handle->sock) && (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
            EXPECT_EQ(vxmtest::readFile("/proc/self/fd/" + std::to_string(fd)), "out\n") << "the file passed";
            EXPECT_TRUE(sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) << "SIGPIPE while open";
            start = Steady::now();
            EXPECT_EQ(VXM_csclose(handle, row.close.timeoutMs), row.close.result);
            EXPECT_GE(vxmtest::msSince(start), row.close.timeoutMs);
            EXPECT_TRUE(sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == markPipe) << "SIGPIPE after";
        }
        EXPECT_EQ(vxmtest::logLines(log), row.log);
        EXPECT_EQ(fake.finish(), std::make_pair("open#echo out#" + std::string(row.mode) + '\0', 1)) << "in one write";
        EXPECT_TRUE(vxmtest::openDescriptors() == fds && (handle || fd == -77)) << "a descriptor left open or fd touched";
    }
    signal(SIGPIPE, before);
}

// Bad arguments send nothing, while a good request on socket -1 fails its write and says so; a refused
// connection is logged with its errno. cs_open itself returns minus the status and leaves the socket to
// its caller. cs_close on a socket pair holding a close byte closes a descriptor only when both were
// given, and a time-out below -1 is no valid wait.
TEST_F(Channel, ArgumentsConnectionsAndTheCloseStepAlone) {
    vxmtest::LogCapture log;
    int fd = -77;
    EXPECT_FALSE(VXM_csopen(nullptr, "r", &fd, nullptr) || VXM_csopen("cmd", nullptr, &fd, nullptr) ||
                 VXM_csopen("cmd", "r", nullptr, nullptr) || VXM_csclose(nullptr, 0) != -1);
    for (const char* mode : {"rw", "", "R", "r ", "r"}) EXPECT_EQ(cs_open(-1, "cmd", mode, nullptr), -1) << mode;
    EXPECT_EQ(cs_open(-1, nullptr, "r", nullptr) + cs_open(-1, "cmd", nullptr, nullptr), -2);
    std::ofstream("/tmp/vxmopend");  // a file, not a socket: the connect is refused
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    EXPECT_EQ(unlink("/tmp/vxmopend") + fd, -77);
    EXPECT_EQ(vxmtest::logLines(log), U + "cs_open: writev error\n" + U + "cs_conn: cs_conn failed:errno=" +
                                      std::to_string(ECONNREFUSED) + "\n");
    int ends[2];
    ASSERT_TRUE(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0 && write(ends[1], "\0\x0d", 2) == 2);
    EXPECT_EQ(cs_open(ends[0], "cmd", "r", nullptr), -13);
    EXPECT_TRUE(close(ends[0]) == 0 && close(ends[1]) == 0);
    struct Direct { bool socket, descriptor; int timeoutMs, result; };
    for (const Direct& row : {Direct{false, true, 0, -1}, {true, false, -1, -1}, {true, true, -5, -1},
                              {true, true, 0, 9}}) {
        int pipes[2];
        ASSERT_TRUE(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0 && pipe(pipes) == 0);
        ASSERT_EQ(write(ends[1], "\x09", 1), 1);
        const int result = cs_close(row.socket ? ends[0] : -1, row.descriptor ? pipes[0] : -1, row.timeoutMs);
        EXPECT_EQ(std::vector<int>({result, isOpen(ends[0]), isOpen(pipes[0])}),
                  std::vector<int>({row.result, !row.socket, !(row.socket && row.descriptor)})) << row.timeoutMs;
        for (int fd : {ends[0], ends[1], pipes[0], pipes[1]}) close(fd);
    }
}

// Logcat tracking with the busybox stand-in: the n-th "busybox pgrep logcat" prints pgrep.<n>.
TEST_F(Channel, LogcatTrackingRecordsAndHuntsThePids) {
    const std::string tag = "2 LOG VXM_", end = tag + "CollectLogcatID: VXM_CollectLogcatID:end\n";
    const std::string fail = U + "cs_open: recv_fd faild, rcvpid=21\n";  // logged before the hunt
    auto saved = [&](std::string pid) { return tag + "SaveLogcatID: VXM_SaveLogcatID:iLogcatID=" + pid + "\n"; };
    auto org = [&](std::vector<int> pids) {
        std::string text;
        for (int pid : pids) text += tag + "HuntLogcatID: Hunt org LogcatID: szLogcatID[" + std::to_string(pid) + "]\n";
        return text + tag + "HuntLogcatID: Hunt org Num: iLogcatNum[" + std::to_string(pids.size()) + "]\n";
    };
    auto hunt = [&](std::string pid, int count) {
        return tag + "HuntLogcatID: Hunt start: iLogID[" + pid + "]\n" + tag +
               "HuntLogcatID: Hunt start Count: iCount[" + std::to_string(count) + "]\n";
    };
    // The rows run in order: the list each leaves behind is what the next one starts with. Status
    // -1: the request cannot be written (the peer has gone). A 255-character token ends at its 256th
    // character, which is dropped ("7"); unterminated last lines ("200", "300") are never examined.
    struct Row { const char* command; std::string pgrep1, pgrep2; int status; bool withPid; int pid, calls;
                 std::string logs; };
    const Row rows[] = {
        {"logcat -d", "100\n200\n", "", 0, true, 300, 1, saved("100") + saved("200") + end},  // recorded and forgotten
        {"logcat", "", "300\n", 2, true, 21, 2, end + fail + org({})},
        {"logcat -v time", "100\n200\n", "100\n300\n200\n", 13, true, 300, 2, saved("100") + saved("200") + end + fail +
         org({100, 200}) + hunt("100", 1) + hunt("300", 2) + tag + "HuntLogcatID: VXM_HuntLogcatID:iLogcatID=300\n"},
        {"logcat", "100\n100\n200\n200\n", "", 1, true, 21, 2,  // only the head is compared
         saved("100") + saved("100 already here") + saved("200") + saved("200") + end + fail + org({100, 200, 200})},
        {"xlogcatx", std::string(255, '0') + "742\n100\n200", "0\n42\n300", 1, true, 21, 2,
         saved("0") + saved("42") + saved("100") + end + fail + org({0, 42, 100}) + hunt("0", 2) + hunt("42", 2)},
        {"logcat", "100\n", "300\n", 13, false, 21, 1, saved("100") + end},  // without PID out no hunt
        {"dmesg", "100\n", "", 13, true, 21, 0, fail},
        {"logcat", "100\n", "", -1, true, 21, 1, saved("100") + end + U + "cs_open: writev error\n"},  // list kept
        {"logcat", "200\n", "100\n200\n", 13, true, 21, 2, saved("200") + end + fail + org({100, 200}) +
         hunt("100", 1) + hunt("200", 1)}};
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        unlink(pgrep_.file("calls").c_str());
        std::ofstream(pgrep_.file("pgrep.1")) << row.pgrep1;
        std::ofstream(pgrep_.file("pgrep.2")) << row.pgrep2;
        vxmtest::LogCapture log;
        int fd = -77, pid = 21, ends[2];
        if (row.status < 0) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
            close(ends[1]);
            // writev: EPIPE; a SIGPIPE left pending would end the test once unblocked.
            EXPECT_EQ(cs_open(ends[0], row.command, "r", &pid), -1);
            close(ends[0]);
        } else {
            const std::uint8_t status = static_cast<std::uint8_t>(row.status);
            FakeOpend fake(status == 0 ? Script{{{reply6(0, 300), true}}} : Script{{{{0, status}, false}}, "", -1});
            VXM_csclose(VXM_csopen(row.command, "r", &fd, row.withPid ? &pid : nullptr), -1);
        }
        EXPECT_EQ(pid, row.pid);
        EXPECT_EQ(std::atoi(vxmtest::readFile(pgrep_.file("calls")).c_str()), row.calls);
        EXPECT_EQ(vxmtest::logLines(log), row.logs);
    }
}

// Without a daemon each function names itself and the command.
TEST_F(Channel, CommandFunctionsJudgeTheFirstReadOfTheOutput) {
    using Function = int (*)(const char* command, const char* find);
    const Function e = VXM_utl_execFind, c = [](const char* command, const char*) { return VXM_utl_shellCMD(command); };
    const Function f = [](const char* command, const char*) { return VXM_utl_shellFind(command); };
    struct Row { Function function; std::string output; const char* find; int result; };
    const Row rows[] = {{e, "abc def\n", "def", 1}, {e, "abc def\n", "xyz", 0}, {e, "abc\n", nullptr, 1},
                        {e, "", nullptr, 0}, {e, std::string(4094, '.') + "needle", "n", 1},
                        {e, std::string(4095, '.') + "needle", "n", 0},  // 4095 bytes searched
                        {c, "x", nullptr, 0}, {c, "", nullptr, -1}, {f, "x", nullptr, 1}, {f, "", nullptr, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        FakeOpend fake({{{{0, 0}, true}}, row.output, 0, row.output == "x" ? 400 : 0});
        const auto start = Steady::now();
        EXPECT_EQ(row.function("ip route", row.find), row.result);
        EXPECT_TRUE(row.output != "x" || vxmtest::msSince(start) >= 350) << "did not wait for the close byte";
        EXPECT_EQ(fake.finish().first, std::string("open#ip route#r\0", 16));
    }
    vxmtest::LogCapture log;
    EXPECT_EQ(e(nullptr, "x") + c(nullptr, nullptr) + f(nullptr, nullptr), -1);
    EXPECT_EQ(e("none", "x") + c("none", nullptr) * 10 + f("none", nullptr) * 100, -10);
    const std::string conn = U + "cs_conn: cs_conn failed:errno=" + std::to_string(ENOENT) + "\n" + U;
    EXPECT_EQ(vxmtest::logLines(log), conn + "VXM_utl_execFind: shell command can't excute : none\n" + conn +
                                      "VXM_utl_shellCMD: shell command can't excute : none\n" + conn +
                                      "VXM_utl_shellFind: shell command can't excute : none\n");
}

}  // namespace
