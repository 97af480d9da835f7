// The channel client against a scripted fake daemon on /tmp/vxmopend: the request byte for byte,
// every accepted and refused reply shape, the passed descriptor, the 3-second wait, the close byte
// with its time-outs, SIGPIPE while handles are open, the logcat PID tracking and the three command
// functions. Runs in a private /tmp (tests/run_in_private_tmp.sh); elsewhere every test skips.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "fakes/fake_opend.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/private_tmp.h"
#include "vxmosal/VXM_channel.h"

namespace {

using vxmfake::Connection;
using vxmtest::logLines;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

std::string request(const std::string& command, const std::string& mode) { return "open#" + command + "#" + mode + '\0'; }
Bytes reply6(std::uint8_t status, std::int32_t pid) {
    Bytes bytes = {0, status, 0, 0, 0, 0};
    std::memcpy(&bytes[2], &pid, sizeof pid);
    return bytes;
}
bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
long openFds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }
long msSince(Clock::time_point start) { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(); }

const std::string U = "4 os_utility ";  // the channel's own records

// A session that reads the request, sends the messages (each leadMs late, with a pipe holding
// output when its flag is set), after delayMs the close byte (none when negative), and waits for
// the hang-up (closeByte -2: hangs up at once).
std::function<void(Connection&)> serve(std::vector<std::pair<Bytes, bool>> messages, std::string output = "", int closeByte = 0, int delayMs = 0, int leadMs = 0) {
    return [=](Connection& c) {
        c.readRequest();
        for (const auto& [bytes, withFd] : messages) {
            std::this_thread::sleep_for(std::chrono::milliseconds(leadMs));
            const int fd = withFd ? vxmfake::readablePipe(output) : -1;
            c.send(bytes, fd);
            if (fd >= 0) close(fd);
        }
        if (closeByte == -2) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        if (closeByte >= 0) c.send({static_cast<std::uint8_t>(closeByte)}, -1, false);
        c.waitHangup();
    };
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = vxmtest::privateTmpMissing(); !why.empty()) GTEST_SKIP() << why;
        setenv("PATH", (std::string(VXM_FAKES_DIR) + ":" + std::getenv("PATH")).c_str(), 1);
        unsetenv("VXM_FAKE_PGREP_DIR");
        listener(true);
    }
    // The listening fake, or a path bound by nobody who listens (with unlink, no path at all).
    void listener(bool listening) {
        fake_.reset();
        fake_ = std::make_unique<vxmfake::FakeOpend>(listening);
    }
    std::unique_ptr<vxmfake::FakeOpend> fake_;
};

TEST_F(Channel, RepliesGiveTheDescriptorAndThePidOrNoHandle) {
    const std::string format = U + "recv_fd: message format error\n", failed = U + "cs_open: recv_fd faild, rcvpid=55\n";
    // Accepted rows come first: each one's close byte is its index. The 3 seconds start afresh for
    // each message.
    struct Row { const char* name; bool accepted; std::vector<std::pair<Bytes, bool>> messages; bool withPid; std::int32_t pid; std::string log = ""; int leadMs = 0; const char* mode = "r"; };
    const Row rows[] = {{"6 bytes", true, {{reply6(0, 1234), true}}, true, 1234},
                        {"2 bytes", true, {{{0, 0}, true}}, true, -1},
                        {"4 bytes: two bytes of the PID area, the rest 0", true, {{{0, 0, 0x34, 0x12}, true}}, true, 0x1234},
                        {"no PID out", true, {{reply6(0, 99), true}}, false, 55},
                        {"a non-zero first byte is skipped", true, {{{9, 0, 1, 2, 3, 4}, false}, {reply6(0, 77), true}}, true, 77},
                        {"one byte is ignored, its descriptor closed", true, {{{0}, true}, {reply6(0, 4321), true}}, true, 4321, "", 0, "w"},
                        {"status 13 in 2 bytes", false, {{{0, 13}, true}}, false, 55}, {"status 255 in 6 bytes", false, {{reply6(255, 1234), true}}, false, 55},
                        {"status 1, PID out", false, {{{0, 1}, false}}, true, 55, failed}, {"3 bytes", false, {{{0, 0, 0}, true}}, true, 55, format + failed},
                        {"5 bytes", false, {{{0, 0, 1, 2, 3}, true}}, false, 55, format}, {"status 0 without a descriptor", false, {{reply6(0, 5), false}}, false, 55, format},
                        {"a skipped short message leaves no room for a PID", false, {{{1, 0}, false}, {reply6(0, 77), true}}, false, 55, format},
                        {"hang-up before the reply", false, {}, false, 55}, {"hang-up before the reply, PID out", false, {}, true, 55, failed},
                        {"a late 1-byte message, then silence", false, {{{0}, false}}, false, 55, U + "recv_fd: C: msg timeout or select error 3s\n", 1500}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake_->expect(serve(row.messages, "out\n", row.messages.empty() ? -2 : row.accepted ? &row - rows : -1, 0, row.leadMs));
        vxmtest::LogCapture log;
        const long fds = openFds();
        int fd = -77, pid = 55;
        char buffer[16] = {};
        const auto start = Clock::now();
        VXM_CS_HANDLE* handle = VXM_csopen("echo out", row.mode, &fd, row.withPid ? &pid : nullptr);
        EXPECT_GE(msSince(start), row.leadMs * 3);
        ASSERT_EQ(handle != nullptr, row.accepted);
        EXPECT_EQ(pid, row.pid);
        if (handle) {
            EXPECT_TRUE(handle->fd == fd && isOpen(handle->sock) && (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
            EXPECT_EQ(read(fd, buffer, sizeof buffer), 4);
            EXPECT_STREQ(buffer, "out\n");
            EXPECT_EQ(VXM_csclose(handle, -1), &row - rows);
        }
        EXPECT_EQ(logLines(log), row.log);
        ASSERT_TRUE(fake_->finish());
        EXPECT_TRUE(openFds() == fds && (handle || fd == -77)) << "a descriptor left open or fd touched";
        EXPECT_EQ(fake_->connections.back().request, std::make_pair(request("echo out", row.mode), 1)) << "one gathered write";
    }
    // cs_open itself returns minus the status and leaves the socket to its caller.
    fake_->expect(serve({{{0, 13}, false}}, "", -1));
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, "/tmp/vxmopend"};
    ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(cs_open(sock, "cmd", "r", nullptr), -13);
    EXPECT_EQ(close(sock), 0);
}

TEST_F(Channel, ArgumentsConnectionsAndWriteFailures) {
    vxmtest::LogCapture log;
    int fd = -77;
    EXPECT_EQ(VXM_csopen(nullptr, "r", &fd, nullptr), nullptr);
    EXPECT_EQ(VXM_csopen("cmd", nullptr, &fd, nullptr), nullptr);
    EXPECT_EQ(VXM_csopen("cmd", "r", nullptr, nullptr), nullptr);
    for (const char* mode : {"rw", "", "R", "r "}) {  // connected, but no byte of a request is sent
        fake_->expect([](Connection& c) { c.readRequest(); });
        EXPECT_EQ(VXM_csopen("cmd", mode, &fd, nullptr), nullptr) << mode;
        ASSERT_TRUE(fake_->finish());
    }
    ASSERT_EQ(fake_->connections.size(), 4u) << "only the bad modes connected";
    for (const Connection& c : fake_->connections) EXPECT_EQ(c.request, std::make_pair(std::string(), 0));
    EXPECT_EQ(VXM_csclose(nullptr, 0) + cs_open(-1, nullptr, "r", nullptr) + cs_open(-1, "cmd", nullptr, nullptr) + cs_open(-1, "cmd", "rw", nullptr) + cs_open(-1, "cmd", "r", nullptr), -5);
    for (bool bound : {false, true}) {  // no socket file, then one that is bound but not listening
        listener(false);
        if (!bound) unlink(vxmfake::kOpendPath);
        EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    }
    EXPECT_EQ(fd, -77);
    EXPECT_EQ(logLines(log), U + "cs_open: writev error\n" + U + "cs_conn: cs_conn failed:errno=" +
                                 std::to_string(ENOENT) + "\n" + U + "cs_conn: cs_conn failed:errno=" + std::to_string(ECONNREFUSED) + "\n");
}

TEST_F(Channel, TheCloseByteAndItsTimeOuts) {
    struct Row { const char* name; std::function<void(Connection&)> session; int timeoutMs, result; long atLeastMs; std::string log; };
    const Row rows[] = {{"no close byte: a server failure", serve({{{0, 0}, true}}, "", -2), -1, -1, 0, U + "cs_close: C: server failed\n"},
                        {"a silent time-out", serve({{{0, 0}, true}}, "", -1), 1500, -1, 1450, ""},
                        {"0 does not wait", serve({{{0, 0}, true}}, "", 9, 500), 0, -1, 0, ""},
                        {"-1 waits for a late byte", serve({{{0, 0}, true}}, "", 255, 300), -1, 255, 250, ""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake_->expect(row.session);
        const long fds = openFds();
        int fd = -1;
        VXM_CS_HANDLE* handle = VXM_csopen("cmd", "r", &fd, nullptr);
        ASSERT_NE(handle, nullptr);
        vxmtest::LogCapture log;
        const auto start = Clock::now();
        EXPECT_EQ(VXM_csclose(handle, row.timeoutMs), row.result);
        EXPECT_GE(msSince(start), row.atLeastMs);
        EXPECT_EQ(logLines(log), row.log);
        ASSERT_TRUE(fake_->finish());
        EXPECT_EQ(openFds(), fds);
    }
    // A close byte already there with no wait; a descriptor is closed only when both were given,
    // and a time-out below -1 is no valid wait.
    struct Direct { bool socket, descriptor; int timeoutMs, result; };
    for (const Direct& row : {Direct{false, true, 0, -1}, {true, false, -1, -1}, {false, false, -1, -1}, {true, true, -5, -1}, {true, true, 0, 9}, {true, true, 1000, 9}}) {
        int ends[2], pipes[2];
        ASSERT_TRUE(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0 && pipe(pipes) == 0 && write(ends[1], "\x09", 1) == 1);
        EXPECT_EQ(cs_close(row.socket ? ends[0] : -1, row.descriptor ? pipes[0] : -1, row.timeoutMs), row.result) << row.timeoutMs;
        EXPECT_EQ(std::to_string(isOpen(ends[0])) + std::to_string(isOpen(pipes[0])), std::string(row.socket ? "0" : "1") + (row.socket && row.descriptor ? "0" : "1"));
        for (int fd : {ends[0], ends[1], pipes[0], pipes[1]}) close(fd);
    }
}

void markPipe(int) {}

TEST_F(Channel, SigpipeIsIgnoredWhileAHandleIsOpenAndRestoredOnClose) {
    struct sigaction own {}, before {}, now {};
    own.sa_handler = markPipe;
    ASSERT_EQ(sigaction(SIGPIPE, &own, &before), 0);
    fake_->expect(serve({{{0, 0}, true}}, "", -2));
    fake_->expect(serve({{{0, 0}, true}}, "", -2));
    int fd = -1;
    VXM_CS_HANDLE* one = VXM_csopen("a", "w", &fd, nullptr);
    ASSERT_NE(one, nullptr);
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    VXM_CS_HANDLE* two = VXM_csopen("b", "w", &fd, nullptr);
    ASSERT_NE(two, nullptr);
    // Closed in the order of opening: each restores what it found, so the last close decides.
    VXM_csclose(one, 1000);
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, markPipe);
    VXM_csclose(two, 1000);
    sigaction(SIGPIPE, &before, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
}

// Logcat tracking with the busybox stand-in: the n-th "busybox pgrep logcat" prints pgrep.<n>.
TEST_F(Channel, LogcatTrackingRecordsAndHuntsThePids) {
    vxmtest::TempDir dir;
    setenv("VXM_FAKE_PGREP_DIR", dir.path().c_str(), 1);
    const std::string end = "2 LOG VXM_CollectLogcatID: VXM_CollectLogcatID:end\n";
    auto saved = [](std::string pid) { return "2 LOG VXM_SaveLogcatID: VXM_SaveLogcatID:iLogcatID=" + pid + "\n"; };
    auto org = [](std::vector<int> pids) {
        std::string text;
        for (int pid : pids) text += "2 LOG VXM_HuntLogcatID: Hunt org LogcatID: szLogcatID[" + std::to_string(pid) + "]\n";
        return text + "2 LOG VXM_HuntLogcatID: Hunt org Num: iLogcatNum[" + std::to_string(pids.size()) + "]\n";
    };
    auto hunt = [](std::string pid, int count) {
        return "2 LOG VXM_HuntLogcatID: Hunt start: iLogID[" + pid + "]\n2 LOG VXM_HuntLogcatID: Hunt start Count: iCount[" + std::to_string(count) + "]\n";
    };
    // The rows run in order: the list each leaves behind is what the next one starts with. Status
    // -1: the request cannot be written (the peer has gone).
    struct Row { const char* name; const char* command; std::string pgrep1, pgrep2; int status; bool withPid; int pid, calls; std::string log; };
    const Row rows[] = {
        {"a success records and forgets", "logcat -d", "100\n200\n", "", 0, true, 300, 1, saved("100") + saved("200") + end},
        {"so the list is empty", "logcat", "", "300\n", 2, true, 21, 2, end + org({})},
        {"the hunt hands over the logcat that appeared", "logcat -v time", "100\n200\n", "100\n300\n200\n", 13, true, 300, 2,
         saved("100") + saved("200") + end + org({100, 200}) + hunt("100", 1) + hunt("300", 2) + "2 LOG VXM_HuntLogcatID: VXM_HuntLogcatID:iLogcatID=300\n"},
        {"every logcat was there before", "logcat", "100\n", "100\n", 13, true, 21, 2, saved("100") + end + org({100}) + hunt("100", 0)},
        {"only the head is compared", "logcat", "100\n100\n200\n200\n", "", 1, true, 21, 2,
         saved("100") + saved("100 already here") + saved("200") + saved("200") + end + org({100, 200, 200})},
        // A 255-character token ends at its 256th character, which is dropped ("7"); unterminated
        // last lines ("200", "300") are never examined.
        {"unterminated lines and long tokens", "xlogcatx", std::string(255, '0') + "742\n100\n200", "0\n42\n300", 1, true, 21, 2,
         saved("0") + saved("42") + saved("100") + end + org({0, 42, 100}) + hunt("0", 2) + hunt("42", 2)},
        {"without PID out no hunt", "logcat", "100\n", "300\n", 13, false, 21, 1, saved("100") + end},
        {"other commands run no listing", "dmesg", "100\n", "", 13, true, 21, 0, ""},
        {"a failed write keeps the list", "logcat", "100\n", "", -1, true, 21, 1, saved("100") + end},
        {"so the next request appends to it", "logcat", "200\n", "100\n200\n", 13, true, 21, 2,
         saved("200") + end + org({100, 200}) + hunt("100", 1) + hunt("200", 1)}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        unlink(dir.file("calls").c_str());
        std::ofstream(dir.file("pgrep.1")) << row.pgrep1;
        std::ofstream(dir.file("pgrep.2")) << row.pgrep2;
        vxmtest::LogCapture log;
        int fd = -77, pid = 21, ends[2];
        if (row.status < 0) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
            close(ends[1]);
            EXPECT_EQ(cs_open(ends[0], row.command, "r", &pid), -1);  // writev: EPIPE, SIGPIPE not delivered
            close(ends[0]);
            sigset_t pending;
            EXPECT_TRUE(sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 0);
        } else {
            fake_->expect(row.status == 0 ? serve({{reply6(0, 300), true}}) : serve({{{0, static_cast<std::uint8_t>(row.status)}, false}}, "", -1));
            VXM_CS_HANDLE* handle = VXM_csopen(row.command, "r", &fd, row.withPid ? &pid : nullptr);
            EXPECT_EQ(handle != nullptr, row.status == 0);
            VXM_csclose(handle, -1);
            ASSERT_TRUE(fake_->finish());
        }
        EXPECT_EQ(pid, row.pid);
        EXPECT_EQ(std::atoi(vxmtest::readFile(dir.file("calls")).c_str()), row.calls);
        EXPECT_EQ(logLines(log, "LOG ttx_port"), row.log);
        EXPECT_EQ(logLines(log, "os_utility"), row.status < 0 ? U + "cs_open: writev error\n" : row.status > 0 && row.withPid ? U + "cs_open: recv_fd faild, rcvpid=21\n" : "");
    }
    unsetenv("VXM_FAKE_PGREP_DIR");
}

TEST_F(Channel, CommandFunctionsJudgeTheFirstReadOfTheOutput) {
    struct Row { char function; std::string output; const char* find; int result; };
    const Row rows[] = {{'e', "abc def\n", "def", 1}, {'e', "abc def\n", "xyz", 0}, {'e', "abc\n", nullptr, 1}, {'e', "", nullptr, 0},
                        {'e', std::string(4094, '.') + "needle", "n", 1}, {'e', std::string(4095, '.') + "needle", "n", 0},  // 4095 bytes searched
                        {'c', "x", nullptr, 0}, {'c', "", nullptr, -1}, {'c', std::string(500, 'y'), nullptr, 0}, {'f', "x", nullptr, 1}, {'f', "", nullptr, 0}};
    for (const Row& row : rows) {
        fake_->expect(serve({{{0, 0}, true}}, row.output, 0, row.output == "x" ? 400 : 0));
        const auto start = Clock::now();
        const int result = row.function == 'e' ? VXM_utl_execFind("ip route", row.find) : row.function == 'c' ? VXM_utl_shellCMD("ip route") : VXM_utl_shellFind("ip route");
        EXPECT_EQ(result, row.result) << row.function << " " << row.output.size();
        EXPECT_TRUE(row.output != "x" || msSince(start) >= 350) << row.function << " did not wait for the close byte";
        ASSERT_TRUE(fake_->finish());
        EXPECT_EQ(fake_->connections.back().request.first, request("ip route", "r"));
    }
    vxmtest::LogCapture log;
    EXPECT_EQ(VXM_utl_execFind(nullptr, "x") + VXM_utl_shellCMD(nullptr) + VXM_utl_shellFind(nullptr), -1);
    listener(false);
    unlink(vxmfake::kOpendPath);  // no daemon at all
    EXPECT_EQ(VXM_utl_execFind("none", "x"), 0);
    EXPECT_EQ(VXM_utl_shellCMD("none"), -1);
    EXPECT_EQ(VXM_utl_shellFind("none"), 0);
    const std::string conn = U + "cs_conn: cs_conn failed:errno=" + std::to_string(ENOENT) + "\n" + U;
    EXPECT_EQ(logLines(log), conn + "VXM_utl_execFind: shell command can't excute : none\n" + conn +
                                 "VXM_utl_shellCMD: shell command can't excute : none\n" + conn + "VXM_utl_shellFind: shell command can't excute : none\n");
}

}  // namespace
