// The channel client against a scripted fake daemon on /tmp/vxmopend: the request byte for byte,
// every accepted and refused reply shape, the passed descriptor, the 3-second wait, the close byte
// with its time-outs, SIGPIPE while handles are open, the logcat PID tracking and the three command
// functions. Runs in a private /tmp (tests/run_in_private_tmp.sh); elsewhere every test skips.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "fakes/fake_opend.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/private_tmp.h"
#include "vxmosal/VXM_channel.h"

namespace {

using vxmfake::Connection;
using vxmfake::FakeOpend;
using vxmtest::LogCapture;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

std::string request(const std::string& command, const std::string& mode) { return "open#" + command + "#" + mode + '\0'; }

Bytes reply6(std::uint8_t status, std::int32_t pid) {
    Bytes bytes = {0, status, 0, 0, 0, 0};
    std::memcpy(&bytes[2], &pid, sizeof pid);
    return bytes;
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
long msSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The records of the given modules, one a line: "function: message" (level 2 for "LOG", else 4).
std::string logged(const LogCapture& log, const std::string& modules = "os_utility") {
    std::string text;
    for (const auto& r : log.all())
        if (modules.find(r.module) != std::string::npos)
            text += (r.level == (r.module == "LOG" ? 2 : 4) ? "" : "level " + std::to_string(r.level) + " ") + r.function + ": " + r.message + "\n";
    return text;
}

// One message of a reply: its bytes and what descriptor comes with it.
enum Pass { kNone, kOutput, kProbe };  // kProbe: a pipe the client must close, as it ignores it
struct Message { Bytes bytes; Pass pass; };

// A session that reads the request, sends the messages (the output in the pipe of each kOutput),
// then the close byte (none when negative) after delayMs, and waits for the client to hang up.
// probesClosed counts probe pipes whose reader was gone once the messages were sent.
vxmfake::Session serve(std::vector<Message> messages, const std::string& output = "", int closeByte = 0, int delayMs = 0,
                       std::atomic<int>* probesClosed = nullptr) {
    return [=](Connection& c) {
        c.readRequest();
        std::vector<int> probes;
        for (const Message& m : messages) {
            int ends[2] = {-1, -1};
            if (m.pass == kProbe && pipe(ends) == 0) probes.push_back(ends[1]);
            const int fd = m.pass == kOutput ? vxmfake::readablePipe(output) : ends[0];
            c.send(m.bytes, fd);
            if (fd >= 0) close(fd);
        }
        for (int probe : probes) {
            pollfd writer{probe, POLLOUT, 0};
            if (probesClosed != nullptr && poll(&writer, 1, 1000) == 1 && (writer.revents & POLLERR) != 0) ++*probesClosed;
            close(probe);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        if (closeByte >= 0) c.sendCloseByte(static_cast<std::uint8_t>(closeByte));
        c.waitHangup();
    };
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = vxmtest::privateTmpMissing(); !why.empty()) GTEST_SKIP() << why;
        setenv("PATH", (std::string(VXM_FAKES_DIR) + ":" + std::getenv("PATH")).c_str(), 1);
        unsetenv("VXM_FAKE_PGREP_DIR");
        fake_ = std::make_unique<FakeOpend>();
        ASSERT_TRUE(fake_->ok());
    }
    // In place of the listening fake: a path bound by nobody who listens, or with unlink none at all.
    void noListener() {
        fake_.reset();
        fake_ = std::make_unique<FakeOpend>(false);
    }
    std::unique_ptr<FakeOpend> fake_;
};

TEST_F(Channel, AcceptedRepliesGiveTheDescriptorAndThePid) {
    std::atomic<int> probesClosed{0};
    std::int32_t fourBytePid;  // only two bytes of the PID area arrive; the rest stay 0
    std::memcpy(&fourBytePid, "\x34\x12\0\0", 4);
    struct Row { const char* name; std::vector<Message> messages; bool withPid; std::int32_t pid; const char* mode; };
    const Row rows[] = {
        {"6 bytes", {{reply6(0, 1234), kOutput}}, true, 1234, "r"},
        {"2 bytes", {{{0, 0}, kOutput}}, true, -1, "r"},
        {"4 bytes", {{{0, 0, 0x34, 0x12}, kOutput}}, true, fourBytePid, "r"},
        {"no PID out", {{reply6(0, 99), kOutput}}, false, 55, "r"},
        {"a non-zero first byte is skipped", {{{9, 0, 1, 2, 3, 4}, kNone}, {reply6(0, 77), kOutput}}, true, 77, "r"},
        {"one byte is ignored, its descriptor closed", {{{0}, kProbe}, {reply6(0, 4321), kOutput}}, true, 4321, "w"},
    };
    int closeByte = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake_->expect(serve(row.messages, "out\n", ++closeByte, 0, &probesClosed));
        LogCapture log;
        int fd = -77, pid = 55;
        VXM_CS_HANDLE* handle = VXM_csopen("echo out", row.mode, &fd, row.withPid ? &pid : nullptr);
        ASSERT_NE(handle, nullptr);
        const int sock = handle->sock;
        EXPECT_TRUE(handle->fd == fd && isOpen(sock) && (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
        EXPECT_EQ(pid, row.pid);
        char buffer[16] = {};
        EXPECT_EQ(read(fd, buffer, sizeof buffer), 4);
        EXPECT_STREQ(buffer, "out\n");
        EXPECT_EQ(VXM_csclose(handle, -1), closeByte);
        EXPECT_FALSE(isOpen(fd) || isOpen(sock));
        ASSERT_TRUE(fake_->finish());
        EXPECT_EQ(fake_->requests().back(), std::make_pair(request("echo out", row.mode), 1)) << "one gathered write";
        EXPECT_EQ(logged(log, "os_utility LOG"), "");
    }
    EXPECT_EQ(probesClosed.load(), 1);
    // Mode "w": the descriptor feeds the command; it is closed before the wait for the close byte.
    std::string fed;
    fake_->expect([&](Connection& c) {
        c.readRequest();
        int ends[2];
        if (pipe(ends) != 0) return;
        c.send({0, 0}, ends[1]);
        close(ends[1]);
        char buffer[64];
        fed.assign(buffer, static_cast<std::size_t>(std::max<ssize_t>(0, read(ends[0], buffer, sizeof buffer))));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c.sendCloseByte(read(ends[0], buffer, 1) == 0 ? 5 : 6);  // the end of the input came first
        close(ends[0]);
        c.waitHangup();
    });
    int fd = -1;
    VXM_CS_HANDLE* handle = VXM_csopen("cat > /tmp/out", "w", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(write(fd, "fed\n", 4), 4);
    EXPECT_EQ(VXM_csclose(handle, 3000), 5);
    ASSERT_TRUE(fake_->finish());
    EXPECT_EQ(fed, "fed\n");
}

TEST_F(Channel, RefusedRepliesGiveNoHandle) {
    const std::string format = "recv_fd: message format error\n", failed = "cs_open: recv_fd faild, rcvpid=8\n";
    struct Row { const char* name; vxmfake::Session session; bool withPid; std::string log; };
    const Row rows[] = {
        {"status 13 in 2 bytes", serve({{{0, 13}, kOutput}}, "", -1), false, ""},
        {"status 255 in 6 bytes", serve({{reply6(255, 1234), kOutput}}, "", -1), false, ""},
        {"status 1, PID out", serve({{{0, 1}, kNone}}, "", -1), true, failed},
        {"3 bytes", serve({{{0, 0, 0}, kOutput}}, "", -1), true, format + failed},
        {"5 bytes", serve({{{0, 0, 1, 2, 3}, kOutput}}, "", -1), false, format},
        {"status 0 without a descriptor", serve({{reply6(0, 5), kNone}}, "", -1), false, format},
        {"a skipped short message leaves no room for a PID", serve({{{1, 0}, kNone}, {reply6(0, 77), kOutput}}, "", -1), false, format},
        {"hang-up before the reply", [](Connection& c) { c.readRequest(); }, false, ""},
        {"hang-up before the reply, PID out", [](Connection& c) { c.readRequest(); }, true, failed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake_->expect(row.session);
        LogCapture log;
        int fd = -77, pid = 8;
        EXPECT_EQ(VXM_csopen("cmd", "r", &fd, row.withPid ? &pid : nullptr), nullptr);
        EXPECT_EQ(fd * 100 + pid, -77 * 100 + 8) << "the out arguments stay untouched";
        EXPECT_EQ(logged(log), row.log);
        ASSERT_TRUE(fake_->finish());
    }
    // cs_open itself returns minus the status and leaves the socket to its caller.
    fake_->expect(serve({{{0, 13}, kNone}}, "", -1));
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, vxmfake::kOpendPath);
    ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(cs_open(sock, "cmd", "r", nullptr), -13);
    EXPECT_TRUE(isOpen(sock));
    close(sock);
    // The 3 seconds start afresh for each message: a 1-byte message after 1.5 s, then silence,
    // fails about 4.5 s after the request.
    fake_->expect([](Connection& c) {
        c.readRequest();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        c.send({0});
        c.waitHangup();
    });
    LogCapture log;
    int fd = -77;
    const auto start = Clock::now();
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    EXPECT_GE(msSince(start), 4400);
    EXPECT_EQ(logged(log), "recv_fd: C: msg timeout or select error 3s\n");
}

TEST_F(Channel, ArgumentsConnectionAndWriteFailures) {
    LogCapture log;
    int fd = -77;
    EXPECT_EQ(VXM_csopen(nullptr, "r", &fd, nullptr), nullptr);
    EXPECT_EQ(VXM_csopen("cmd", nullptr, &fd, nullptr), nullptr);
    EXPECT_EQ(VXM_csopen("cmd", "r", nullptr, nullptr), nullptr);
    for (const char* mode : {"rw", "", "R", "r "}) {  // connected, but no byte of a request is sent
        fake_->expect([](Connection& c) { c.readRequest(); });
        EXPECT_EQ(VXM_csopen("cmd", mode, &fd, nullptr), nullptr) << mode;
        ASSERT_TRUE(fake_->finish());
    }
    EXPECT_EQ(fake_->requests(), (std::vector<std::pair<std::string, int>>(4, {"", 0}))) << "only the bad modes connected";
    EXPECT_EQ(VXM_csclose(nullptr, 0), -1);
    EXPECT_EQ(cs_open(-1, nullptr, "r", nullptr), -1);
    EXPECT_EQ(cs_open(-1, "cmd", nullptr, nullptr), -1);
    EXPECT_EQ(cs_open(-1, "cmd", "rw", nullptr), -1);
    EXPECT_EQ(logged(log), "");
    // The peer has gone: writev fails with EPIPE and SIGPIPE (which would end the process) is not
    // delivered; the receive and its report are skipped.
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    close(ends[1]);
    int pid = 6;
    EXPECT_EQ(cs_open(ends[0], "cmd", "r", &pid), -1);
    close(ends[0]);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    EXPECT_EQ(cs_open(-1, "cmd", "r", nullptr), -1);
    // No socket file, then a socket that is bound but not listening.
    for (bool bound : {false, true}) {
        noListener();
        if (!bound) unlink(vxmfake::kOpendPath);
        EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    }
    EXPECT_EQ(fd, -77);
    EXPECT_EQ(logged(log), "cs_open: writev error\ncs_open: writev error\ncs_conn: cs_conn failed:errno=" + std::to_string(ENOENT) +
                               "\ncs_conn: cs_conn failed:errno=" + std::to_string(ECONNREFUSED) + "\n");
}

TEST_F(Channel, TheCloseByteAndItsTimeOuts) {
    struct Row { const char* name; int closeByte, delayMs; bool hangUp; int timeoutMs, result; long atLeastMs, belowMs; std::string log; };
    const Row rows[] = {
        {"no close byte: a server failure", -1, 0, true, -1, -1, 0, 3000, "cs_close: C: server failed\n"},
        {"a silent time-out", -1, 0, false, 1500, -1, 1450, 3000, ""},
        {"0 does not wait", 9, 500, false, 0, -1, 0, 400, ""},
        {"-1 waits for a late byte", 255, 300, false, -1, 255, 250, 3000, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.hangUp)
            fake_->expect([](Connection& c) {
                c.readRequest();
                const int fd = vxmfake::readablePipe("");
                c.send({0, 0}, fd);
                close(fd);
            });
        else
            fake_->expect(serve({{{0, 0}, kOutput}}, "", row.closeByte, row.delayMs));
        int fd = -1;
        VXM_CS_HANDLE* handle = VXM_csopen("cmd", "r", &fd, nullptr);
        ASSERT_NE(handle, nullptr);
        const int sock = handle->sock;
        LogCapture log;
        const auto start = Clock::now();
        EXPECT_EQ(VXM_csclose(handle, row.timeoutMs), row.result);
        EXPECT_TRUE(msSince(start) >= row.atLeastMs && msSince(start) < row.belowMs) << msSince(start);
        EXPECT_EQ(logged(log), row.log);
        EXPECT_FALSE(isOpen(fd) || isOpen(sock));
        ASSERT_TRUE(fake_->finish());
    }
    // A close byte already there with no wait; a descriptor is closed only when both were given
    // and a time-out below -1 is no valid wait.
    struct Direct { const char* name; bool socket, descriptor; int timeoutMs, result; bool descriptorClosed; };
    const Direct cases[] = {{"no socket", false, true, 0, -1, false},  {"no descriptor", true, false, -1, -1, false},
                            {"neither", false, false, -1, -1, false},  {"below -1", true, true, -5, -1, true},
                            {"already there", true, true, 0, 9, true}, {"within the time-out", true, true, 1000, 9, true}};
    for (const Direct& row : cases) {
        SCOPED_TRACE(row.name);
        int ends[2], pipes[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ASSERT_EQ(pipe(pipes), 0);
        ASSERT_EQ(write(ends[1], "\x09", 1), 1);
        EXPECT_EQ(cs_close(row.socket ? ends[0] : -1, row.descriptor ? pipes[0] : -1, row.timeoutMs), row.result);
        EXPECT_EQ(isOpen(ends[0]), !row.socket);
        EXPECT_EQ(isOpen(pipes[0]), !row.descriptorClosed);
        for (int fd : {ends[0], ends[1], pipes[0], pipes[1]}) close(fd);
    }
}

void markPipe(int) {}

TEST_F(Channel, SigpipeIsIgnoredWhileAHandleIsOpenAndRestoredOnClose) {
    struct sigaction own {}, before {}, now {};
    own.sa_handler = markPipe;
    ASSERT_EQ(sigaction(SIGPIPE, &own, &before), 0);
    auto session = [](Connection& c) {
        c.readRequest();
        int ends[2];
        if (pipe(ends) != 0) return;
        c.send({0, 0}, ends[1]);
        close(ends[1]);
        close(ends[0]);  // the reader is gone at once
        c.sendCloseByte(0);
    };
    fake_->expect(session);
    fake_->expect(session);
    int first = -1, second = -1;
    VXM_CS_HANDLE* one = VXM_csopen("a", "w", &first, nullptr);
    ASSERT_NE(one, nullptr);
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_TRUE(now.sa_handler == SIG_IGN && one->ignoreAction.sa_handler == SIG_IGN && one->ignoreAction.sa_flags == 0);
    EXPECT_EQ(one->savedAction.sa_handler, markPipe);
    pollfd writer{first, 0, 0};  // the fake has closed the read end once poll reports an error
    ASSERT_EQ(poll(&writer, 1, 3000), 1);
    errno = 0;
    EXPECT_EQ(write(first, "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    VXM_CS_HANDLE* two = VXM_csopen("b", "w", &second, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->savedAction.sa_handler, SIG_IGN);
    // Closed in the order of opening: each restores what it found, so the last close decides.
    EXPECT_EQ(VXM_csclose(one, 1000), 0);
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, markPipe);
    EXPECT_EQ(VXM_csclose(two, 1000), 0);
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sigaction(SIGPIPE, &before, nullptr);
}

// Logcat tracking with the busybox stand-in: the n-th "busybox pgrep logcat" prints pgrep.<n>.
TEST_F(Channel, LogcatTrackingRecordsAndHuntsThePids) {
    vxmtest::TempDir dir;
    setenv("VXM_FAKE_PGREP_DIR", dir.path().c_str(), 1);
    const std::string collect = "VXM_CollectLogcatID: VXM_CollectLogcatID:end\n", org = "VXM_HuntLogcatID: Hunt org ";
    auto saved = [](const char* pid) { return "VXM_SaveLogcatID: VXM_SaveLogcatID:iLogcatID=" + std::string(pid) + "\n"; };
    auto hunt = [](const char* pid, int count) {
        return "VXM_HuntLogcatID: Hunt start: iLogID[" + std::string(pid) + "]\nVXM_HuntLogcatID: Hunt start Count: iCount[" + std::to_string(count) + "]\n";
    };
    // The rows run in order: the list each leaves behind is what the next one starts with.
    struct Row { const char* name; const char* command; std::vector<std::string> pgrep; int status; bool withPid; int pid, calls; std::string log; };
    const Row rows[] = {
        {"a success records and forgets", "logcat -d", {"100\n200\n"}, 0, true, 300, 1, saved("100") + saved("200") + collect},
        {"the list was emptied", "logcat", {"", "300\n"}, 2, true, 21, 2, collect + org + "Num: iLogcatNum[0]\n"},
        {"the hunt hands over the logcat that appeared", "logcat -v time", {"100\n200\n", "100\n300\n200\n"}, 13, true, 300, 2,
         saved("100") + saved("200") + collect + org + "LogcatID: szLogcatID[100]\n" + org + "LogcatID: szLogcatID[200]\n" + org +
             "Num: iLogcatNum[2]\n" + hunt("100", 1) + hunt("300", 2) + "VXM_HuntLogcatID: VXM_HuntLogcatID:iLogcatID=300\n"},
        {"every logcat was there before", "logcat", {"100\n", "100\n"}, 13, true, 21, 2,
         saved("100") + collect + org + "LogcatID: szLogcatID[100]\n" + org + "Num: iLogcatNum[1]\n" + hunt("100", 0)},
        {"only the head is compared", "logcat", {"100\n100\n200\n200\n", ""}, 1, true, 21, 2,
         saved("100") + "VXM_SaveLogcatID: VXM_SaveLogcatID:iLogcatID=100 already here\n" + saved("200") + saved("200") + collect + org +
             "LogcatID: szLogcatID[100]\n" + org + "LogcatID: szLogcatID[200]\n" + org + "LogcatID: szLogcatID[200]\n" + org + "Num: iLogcatNum[3]\n"},
        // A 255-character token ends at its 256th character, which is dropped ("7"); unterminated
        // last lines ("200", "300") are never examined.
        {"unterminated lines and long tokens", "xlogcatx", {std::string(255, '0') + "742\n100\n200", "0\n42\n300"}, 1, true, 21, 2,
         saved("0") + saved("42") + saved("100") + collect + org + "LogcatID: szLogcatID[0]\n" + org + "LogcatID: szLogcatID[42]\n" + org +
             "LogcatID: szLogcatID[100]\n" + org + "Num: iLogcatNum[3]\n" + hunt("0", 2) + hunt("42", 2)},
        {"without PID out no hunt", "logcat", {"100\n", "300\n"}, 13, false, 21, 1, saved("100") + collect},
        {"other commands run no listing", "dmesg", {"100\n"}, 13, true, 21, 0, ""},
        {"a failed write keeps the list", "logcat", {"100\n"}, -1, true, 21, 1, saved("100") + collect},
        {"so the next request appends to it", "logcat", {"200\n", "100\n200\n"}, 13, true, 21, 2,
         saved("200") + collect + org + "LogcatID: szLogcatID[100]\n" + org + "LogcatID: szLogcatID[200]\n" + org + "Num: iLogcatNum[2]\n" +
             hunt("100", 1) + hunt("200", 1)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        unlink(dir.file("calls").c_str());
        for (std::size_t i = 0; i < 2; ++i) std::ofstream(dir.file("pgrep." + std::to_string(i + 1))) << (i < row.pgrep.size() ? row.pgrep[i] : "");
        LogCapture log;
        int fd = -77, pid = 21;
        if (row.status < 0) {  // the peer has gone before the request
            int ends[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
            close(ends[1]);
            EXPECT_EQ(cs_open(ends[0], row.command, "r", &pid), -1);
            close(ends[0]);
        } else {
            fake_->expect(row.status == 0 ? serve({{reply6(0, 300), kOutput}}) : serve({{{0, static_cast<std::uint8_t>(row.status)}, kNone}}, "", -1));
            VXM_CS_HANDLE* handle = VXM_csopen(row.command, "r", &fd, row.withPid ? &pid : nullptr);
            EXPECT_EQ(handle != nullptr, row.status == 0);
            if (handle != nullptr) VXM_csclose(handle, -1);
            ASSERT_TRUE(fake_->finish());
        }
        EXPECT_EQ(pid, row.pid);
        EXPECT_EQ(std::atoi(vxmtest::readFile(dir.file("calls")).c_str()), row.calls);
        EXPECT_EQ(logged(log, "LOG ttx_port"), row.log);
        const std::string failure = row.status < 0 ? "cs_open: writev error\n" : row.status > 0 && row.withPid ? "cs_open: recv_fd faild, rcvpid=21\n" : "";
        EXPECT_EQ(logged(log), failure);
    }
    unsetenv("VXM_FAKE_PGREP_DIR");
}

// A program named logcat (a copy of sleep, which a real pgrep finds by name), started during the
// request, is what the hunt finds.
TEST_F(Channel, TheHuntFindsARealLogcatStartedDuringTheRequest) {
    vxmtest::TempDir dir;
    const std::string program = dir.file("logcat");
    std::ofstream(program, std::ios::binary) << std::ifstream("/bin/sleep", std::ios::binary).rdbuf();
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    auto startLogcat = [&] {
        const pid_t pid = fork();
        if (pid == 0) execl(program.c_str(), "logcat", "30", static_cast<char*>(nullptr)), _exit(127);
        // pgrep matches the name the process has after exec.
        for (int i = 0; i < 400 && vxmtest::readFile("/proc/" + std::to_string(pid) + "/comm") != "logcat\n"; ++i) usleep(5000);
        return pid;
    };
    const pid_t before = startLogcat();
    std::atomic<pid_t> appeared{-1};
    fake_->expect([&](Connection& c) {
        c.readRequest();
        appeared = startLogcat();
        c.send({0, 13});
        c.waitHangup();
    });
    int fd = -77, pid = -1;
    EXPECT_EQ(VXM_csopen("logcat -d", "r", &fd, &pid), nullptr);
    ASSERT_TRUE(fake_->finish());
    EXPECT_EQ(pid, appeared.load());
    EXPECT_NE(pid, before);
    for (pid_t child : {before, appeared.load()}) kill(child, SIGKILL), waitpid(child, nullptr, 0);
}

TEST_F(Channel, CommandFunctionsJudgeTheFirstReadOfTheOutput) {
    struct Row { const char* function; std::string output; const char* find; int result; };
    const Row rows[] = {
        {"execFind", "abc def\n", "def", 1}, {"execFind", "abc def\n", "xyz", 0}, {"execFind", "abc\n", nullptr, 1},
        {"execFind", "", nullptr, 0}, {"execFind", std::string(4094, '.') + "needle", "n", 1},
        {"execFind", std::string(4095, '.') + "needle", "n", 0},  // only 4095 bytes are searched
        {"shellCMD", "x", nullptr, 0}, {"shellCMD", "", nullptr, -1}, {"shellCMD", std::string(500, 'y'), nullptr, 0},
        {"shellFind", "x", nullptr, 1}, {"shellFind", "", nullptr, 0}};
    for (const Row& row : rows) {
        fake_->expect(serve({{{0, 0}, kOutput}}, row.output, 0, row.output == "x" ? 400 : 0));
        const std::string f = row.function;
        const auto start = Clock::now();
        EXPECT_EQ(f == "execFind" ? VXM_utl_execFind("ip route", row.find) : f == "shellCMD" ? VXM_utl_shellCMD("ip route") : VXM_utl_shellFind("ip route"),
                  row.result) << f << " " << row.output.size();
        if (row.output == "x") EXPECT_GE(msSince(start), 350) << f << " waits for the close byte";
        ASSERT_TRUE(fake_->finish());
        EXPECT_EQ(fake_->requests().back().first, request("ip route", "r"));
    }
    LogCapture log;
    EXPECT_EQ(VXM_utl_execFind(nullptr, "x"), 0);
    EXPECT_EQ(VXM_utl_shellCMD(nullptr), -1);
    EXPECT_EQ(VXM_utl_shellFind(nullptr), 0);
    EXPECT_EQ(logged(log), "");
    noListener();  // and no socket file
    unlink(vxmfake::kOpendPath);
    EXPECT_EQ(VXM_utl_execFind("no daemon", "x"), 0);
    EXPECT_EQ(VXM_utl_shellCMD("no daemon"), -1);
    EXPECT_EQ(VXM_utl_shellFind("no daemon"), 0);
    const std::string conn = "cs_conn: cs_conn failed:errno=" + std::to_string(ENOENT) + "\n";
    EXPECT_EQ(logged(log), conn + "VXM_utl_execFind: shell command can't excute : no daemon\n" + conn +
                               "VXM_utl_shellCMD: shell command can't excute : no daemon\n" + conn +
                               "VXM_utl_shellFind: shell command can't excute : no daemon\n");
}

}  // namespace
