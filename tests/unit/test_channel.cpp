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

std::string request(const std::string& command, const std::string& mode) {
    return "open#" + command + "#" + mode + '\0';
}
Bytes reply6(std::uint8_t status, std::int32_t pid) {
    Bytes bytes = {0, status, 0, 0, 0, 0};
    std::memcpy(&bytes[2], &pid, sizeof pid);
    return bytes;
}
bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
long openFds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }
long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const std::string U = "4 os_utility ";  // the channel's own records

// A session that reads the request, sends the messages (each leadMs late, with a pipe holding
// output when its flag is set), after delayMs the close byte (none when negative), and waits for
// the hang-up (closeByte -2: hangs up at once).
std::function<void(Connection&)> serve(std::vector<std::pair<Bytes, bool>> messages, std::string output = "",
                                       int closeByte = 0, int delayMs = 0, int leadMs = 0) {
    return [=](Connection& c) {
        c.readRequest();
        for (const auto& [bytes, withFd] : messages) {
            std::this_thread::sleep_for(std::chrono::milliseconds(leadMs));
            const int fd = withFd ? vxmfake::readablePipe(output) : -1;
            c.send(bytes, fd);
            close(fd);
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
    const std::string failed = U + "cs_open: recv_fd faild, rcvpid=55\n";
    const std::string format = U + "recv_fd: message format error\n" + failed;
    // Accepted rows come first: each one's close byte is its index. The 3 seconds start afresh for
    // each message. Status 0 without a PID out is served to the command functions below.
    struct Row { const char* name; bool accepted; std::vector<std::pair<Bytes, bool>> messages; std::int32_t pid;
                 std::string log = ""; int leadMs = 0; const char* mode = "r"; };
    const Row rows[] = {
        {"6 bytes", true, {{reply6(0, 1234), true}}, 1234},
        {"2 bytes", true, {{{0, 0}, true}}, -1},
        {"4 bytes: two bytes of the PID area, the rest 0", true, {{{0, 0, 0x34, 0x12}, true}}, 0x1234},
        {"a non-zero first byte is skipped", true, {{{9, 0, 1, 2, 3, 4}, false}, {reply6(0, 77), true}}, 77},
        {"one byte is ignored, its descriptor closed", true, {{{0}, true}, {reply6(0, 4321), true}}, 4321, "", 0, "w"},
        {"status 13 in 2 bytes", false, {{{0, 13}, true}}, 55, failed},
        {"3 bytes", false, {{{0, 0, 0}, true}}, 55, format},
        {"5 bytes", false, {{{0, 0, 1, 2, 3}, true}}, 55, format},
        {"status 0 without a descriptor", false, {{reply6(0, 5), false}}, 55, format},
        {"a skipped short message leaves no room for a PID", false, {{{1, 0}, false}, {reply6(0, 77), true}}, 55,
         format},
        {"hang-up before the reply", false, {}, 55, failed},
        {"a late 1-byte message, then silence", false, {{{0}, false}}, 55,
         U + "recv_fd: C: msg timeout or select error 3s\n" + failed, 1500}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int closeByte = row.messages.empty() ? -2 : row.accepted ? &row - rows : -1;
        fake_->expect(serve(row.messages, "out\n", closeByte, 0, row.leadMs));
        vxmtest::LogCapture log;
        const long fds = openFds();
        int fd = -77, pid = 55;
        char buffer[16] = {};
        const auto start = Clock::now();
        VXM_CS_HANDLE* handle = VXM_csopen("echo out", row.mode, &fd, &pid);
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
        EXPECT_EQ(fake_->connections.back().request, std::make_pair(request("echo out", row.mode), 1)) << "one write";
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
    EXPECT_FALSE(VXM_csopen(nullptr, "r", &fd, nullptr) || VXM_csopen("cmd", nullptr, &fd, nullptr) ||
                 VXM_csopen("cmd", "r", nullptr, nullptr) || VXM_csclose(nullptr, 0) != -1);
    EXPECT_EQ(cs_open(-1, nullptr, "r", nullptr) + cs_open(-1, "cmd", nullptr, nullptr), -2);
    EXPECT_EQ(cs_open(-1, "cmd", "rw", nullptr) + cs_open(-1, "cmd", "r", nullptr), -2);
    for (const char* mode : {"rw", "", "R", "r "}) {  // connected, but no byte of a request is sent
        fake_->expect([](Connection& c) { c.readRequest(); });
        EXPECT_EQ(VXM_csopen("cmd", mode, &fd, nullptr), nullptr) << mode;
        ASSERT_TRUE(fake_->finish());
        EXPECT_EQ(fake_->connections.back().request, std::make_pair(std::string(), 0)) << mode;
    }
    for (bool bound : {false, true}) {  // no socket file, then one that is bound but not listening
        listener(false);
        if (!bound) unlink(vxmfake::kOpendPath);
        EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    }
    EXPECT_EQ(fd, -77);
    const std::string conn = U + "cs_conn: cs_conn failed:errno=";
    EXPECT_EQ(logLines(log), U + "cs_open: writev error\n" + conn + std::to_string(ENOENT) + "\n" + conn +
                                 std::to_string(ECONNREFUSED) + "\n");
}

void markPipe(int) {}

// The close byte through the handle and its time-outs, with SIGPIPE ignored while the handle is open
// and the handler found restored on close; then cs_close on a socket pair holding a close byte: a
// descriptor is closed only when both were given, and a time-out below -1 is no valid wait.
TEST_F(Channel, TheCloseByteAndItsTimeOuts) {
    struct sigaction own {}, before {}, now {};
    own.sa_handler = markPipe;
    ASSERT_EQ(sigaction(SIGPIPE, &own, &before), 0);
    struct Row { const char* name; std::function<void(Connection&)> session; int timeoutMs, result; long atLeastMs; };
    const Row rows[] = {{"no close byte: a server failure", serve({{{0, 0}, true}}, "", -2), -1, -1, 0},
                        {"a silent time-out", serve({{{0, 0}, true}}, "", -1), 1500, -1, 1450},
                        {"0 does not wait", serve({{{0, 0}, true}}, "", 9, 500), 0, -1, 0},
                        {"-1 waits for a late byte", serve({{{0, 0}, true}}, "", 255, 300), -1, 255, 250}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake_->expect(row.session);
        const long fds = openFds();
        int fd = -1;
        VXM_CS_HANDLE* handle = VXM_csopen("cmd", "r", &fd, nullptr);
        ASSERT_NE(handle, nullptr);
        sigaction(SIGPIPE, nullptr, &now);
        const auto whileOpen = now.sa_handler;
        vxmtest::LogCapture log;
        const auto start = Clock::now();
        EXPECT_EQ(VXM_csclose(handle, row.timeoutMs), row.result);
        sigaction(SIGPIPE, nullptr, &now);
        EXPECT_TRUE(whileOpen == SIG_IGN && now.sa_handler == markPipe) << "SIGPIPE while open and after";
        EXPECT_GE(msSince(start), row.atLeastMs);
        EXPECT_EQ(logLines(log), &row == rows ? U + "cs_close: C: server failed\n" : "");
        ASSERT_TRUE(fake_->finish());
        EXPECT_EQ(openFds(), fds);
    }
    sigaction(SIGPIPE, &before, nullptr);
    struct Direct { bool socket, descriptor; int timeoutMs, result; };
    for (const Direct& row : {Direct{false, true, 0, -1}, {true, false, -1, -1}, {false, false, -1, -1},
                              {true, true, -5, -1}, {true, true, 0, 9}, {true, true, 1000, 9}}) {
        int ends[2], pipes[2];
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
    vxmtest::TempDir dir;
    setenv("VXM_FAKE_PGREP_DIR", dir.path().c_str(), 1);
    const std::string tag = "2 LOG VXM_", end = tag + "CollectLogcatID: VXM_CollectLogcatID:end\n";
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
        {"logcat", "", "300\n", 2, true, 21, 2, end + org({})},
        {"logcat -v time", "100\n200\n", "100\n300\n200\n", 13, true, 300, 2, saved("100") + saved("200") + end +
         org({100, 200}) + hunt("100", 1) + hunt("300", 2) + tag + "HuntLogcatID: VXM_HuntLogcatID:iLogcatID=300\n"},
        {"logcat", "100\n", "100\n", 13, true, 21, 2, saved("100") + end + org({100}) + hunt("100", 0)},
        {"logcat", "100\n100\n200\n200\n", "", 1, true, 21, 2,  // only the head is compared
         saved("100") + saved("100 already here") + saved("200") + saved("200") + end + org({100, 200, 200})},
        {"xlogcatx", std::string(255, '0') + "742\n100\n200", "0\n42\n300", 1, true, 21, 2,
         saved("0") + saved("42") + saved("100") + end + org({0, 42, 100}) + hunt("0", 2) + hunt("42", 2)},
        {"logcat", "100\n", "300\n", 13, false, 21, 1, saved("100") + end},  // without PID out no hunt
        {"dmesg", "100\n", "", 13, true, 21, 0, ""},
        {"logcat", "100\n", "", -1, true, 21, 1, saved("100") + end},  // a failed write keeps the list
        {"logcat", "200\n", "100\n200\n", 13, true, 21, 2, saved("200") + end + org({100, 200}) + hunt("100", 1) +
         hunt("200", 1)}};
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
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
            const std::uint8_t status = static_cast<std::uint8_t>(row.status);
            fake_->expect(status == 0 ? serve({{reply6(0, 300), true}}) : serve({{{0, status}, false}}, "", -1));
            VXM_CS_HANDLE* handle = VXM_csopen(row.command, "r", &fd, row.withPid ? &pid : nullptr);
            EXPECT_EQ(handle != nullptr, row.status == 0);
            VXM_csclose(handle, -1);
            ASSERT_TRUE(fake_->finish());
        }
        EXPECT_EQ(pid, row.pid);
        EXPECT_EQ(std::atoi(vxmtest::readFile(dir.file("calls")).c_str()), row.calls);
        EXPECT_EQ(logLines(log, "LOG ttx_port"), row.logs);
        const bool failed = row.status > 0 && row.withPid;
        EXPECT_EQ(logLines(log, "os_utility"), row.status < 0 ? U + "cs_open: writev error\n"
                                               : failed       ? U + "cs_open: recv_fd faild, rcvpid=21\n"
                                                              : "");
    }
    unsetenv("VXM_FAKE_PGREP_DIR");
}

TEST_F(Channel, CommandFunctionsJudgeTheFirstReadOfTheOutput) {
    struct Row { char function; std::string output; const char* find; int result; };
    const Row rows[] = {{'e', "abc def\n", "def", 1}, {'e', "abc def\n", "xyz", 0}, {'e', "abc\n", nullptr, 1},
                        {'e', "", nullptr, 0}, {'e', std::string(4094, '.') + "needle", "n", 1},
                        {'e', std::string(4095, '.') + "needle", "n", 0},  // 4095 bytes searched
                        {'c', "x", nullptr, 0}, {'c', "", nullptr, -1}, {'c', std::string(500, 'y'), nullptr, 0},
                        {'f', "x", nullptr, 1}, {'f', "", nullptr, 0}};
    const auto run = [](char function, const char* command, const char* find) {
        return function == 'e'   ? VXM_utl_execFind(command, find)
               : function == 'c' ? VXM_utl_shellCMD(command)
                                 : VXM_utl_shellFind(command);
    };
    for (const Row& row : rows) {
        fake_->expect(serve({{{0, 0}, true}}, row.output, 0, row.output == "x" ? 400 : 0));
        const auto start = Clock::now();
        EXPECT_EQ(run(row.function, "ip route", row.find), row.result) << row.function << " " << row.output.size();
        EXPECT_TRUE(row.output != "x" || msSince(start) >= 350) << row.function << " did not wait for the close byte";
        ASSERT_TRUE(fake_->finish());
        EXPECT_EQ(fake_->connections.back().request.first, request("ip route", "r"));
    }
    vxmtest::LogCapture log;
    EXPECT_EQ(run('e', nullptr, "x") + run('c', nullptr, nullptr) + run('f', nullptr, nullptr), -1);
    listener(false);
    unlink(vxmfake::kOpendPath);  // no daemon at all
    EXPECT_EQ(run('e', "none", "x") + run('c', "none", nullptr) * 10 + run('f', "none", nullptr) * 100, -10);
    const std::string conn = U + "cs_conn: cs_conn failed:errno=" + std::to_string(ENOENT) + "\n" + U;
    EXPECT_EQ(logLines(log), conn + "VXM_utl_execFind: shell command can't excute : none\n" + conn +
                                 "VXM_utl_shellCMD: shell command can't excute : none\n" + conn +
                                 "VXM_utl_shellFind: shell command can't excute : none\n");
}

}  // namespace
