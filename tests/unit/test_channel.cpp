// The channel client against a scripted fake daemon on /tmp/vxmopend: the request byte for byte,
// every accepted and refused reply shape, the passed descriptor, the 3-second wait, the close byte
// with its time-outs, SIGPIPE while handles are open, the logcat PID tracking and the three command
// functions. Runs in a private /tmp (tests/run_in_private_tmp.sh); elsewhere every test skips.
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
using vxmtest::LogRecord;

using Bytes = std::vector<std::uint8_t>;

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string request(const std::string& command, char mode) {
    std::string bytes = "open#" + command + "#" + mode;
    bytes.push_back('\0');
    return bytes;
}

// A 6-byte reply: zero, status, PID in host order.
Bytes reply6(std::uint8_t status, std::int32_t pid) {
    Bytes bytes = {0, status, 0, 0, 0, 0};
    std::memcpy(bytes.data() + 2, &pid, sizeof pid);
    return bytes;
}

bool isOpen(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

std::string readSome(int fd) {
    char buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

std::vector<LogRecord> errors(const LogCapture& log) {
    std::vector<LogRecord> found;
    for (const auto& record : log.all())
        if (record.level == VXM_LOG_ERROR) found.push_back(record);
    return found;
}

void expectRecord(const LogRecord& record, int level, const std::string& module,
                  const std::string& function, const std::string& message) {
    EXPECT_EQ(record.level, level) << message;
    EXPECT_EQ(record.kind, 1);
    EXPECT_EQ(record.module, module) << message;
    EXPECT_EQ(record.function, function) << message;
    EXPECT_EQ(record.message, message);
}

// The sequence of messages (formatted) of the records.
std::vector<std::string> messages(const std::vector<LogRecord>& records) {
    std::vector<std::string> out;
    for (const auto& record : records) out.push_back(record.message);
    return out;
}

// A session that reads the request, replies reply with a pipe carrying output, and sends the
// close byte closeByte (none when negative) after the client hung up or at once.
vxmfake::Session serveOutput(const std::string& output, Bytes reply, int closeByte = 0) {
    return [output, reply, closeByte](Connection& c) {
        c.readRequest();
        int fd = Connection::readablePipe(output);
        c.send(reply, fd);
        close(fd);
        if (closeByte >= 0) c.sendCloseByte(static_cast<std::uint8_t>(closeByte));
        c.waitHangup();
    };
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = vxmtest::privateTmpMissing(); !why.empty()) GTEST_SKIP() << why;
        std::string path = std::string(VXM_FAKES_DIR) + ":" + std::getenv("PATH");
        setenv("PATH", path.c_str(), 1);
        unsetenv("VXM_FAKE_PGREP_DIR");
        unlink(vxmfake::kOpendPath);
    }
    void TearDown() override { unsetenv("VXM_FAKE_PGREP_DIR"); }
};

// ---- accepted replies ----

TEST_F(Channel, SixByteReplyGivesTheDescriptorAndThePid) {
    FakeOpend fake;
    ASSERT_TRUE(fake.ok());
    fake.expect(serveOutput("hello\n", reply6(0, 1234), 7));
    LogCapture log;
    int fd = -77, pid = -77;
    VXM_CS_HANDLE* handle = VXM_csopen("echo hello", "r", &fd, &pid);
    ASSERT_NE(handle, nullptr);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(handle->fd, fd);
    EXPECT_GE(handle->sock, 0);
    EXPECT_EQ(pid, 1234);
    EXPECT_EQ(readSome(fd), "hello\n");
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    int sock = handle->sock;
    EXPECT_EQ(VXM_csclose(handle, -1), 7);
    EXPECT_FALSE(isOpen(fd));
    EXPECT_FALSE(isOpen(sock));
    ASSERT_TRUE(fake.finish());
    // The request, byte for byte: 8 + n bytes, arriving in one piece (one gathered write).
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests()[0], request("echo hello", 'r'));
    EXPECT_EQ(fake.requests()[0].size(), 8u + std::strlen("echo hello"));
    EXPECT_EQ(fake.requestReads()[0], 1);
    EXPECT_TRUE(log.all().empty());
}

TEST_F(Channel, TwoByteReplyGivesTheDescriptorAndPidMinusOne) {
    FakeOpend fake;
    fake.expect(serveOutput("two\n", Bytes{0, 0}, 0));
    int fd = -77, pid = 55;
    VXM_CS_HANDLE* handle = VXM_csopen("ls", "r", &fd, &pid);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(pid, -1);
    EXPECT_EQ(readSome(fd), "two\n");
    EXPECT_EQ(VXM_csclose(handle, -1), 0);
}

TEST_F(Channel, WithoutAPidOutTheReplyStillOpens) {
    FakeOpend fake;
    fake.expect(serveOutput("x", reply6(0, 99), 3));
    int fd = -77;
    VXM_CS_HANDLE* handle = VXM_csopen("x", "r", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(VXM_csclose(handle, -1), 3);
}

TEST_F(Channel, AFourByteReplyTakesItsPidFromTheTwoBytesReceived) {
    FakeOpend fake;
    fake.expect(serveOutput("", Bytes{0, 0, 0x34, 0x12}, 0));
    int fd = -77, pid = 0;
    VXM_CS_HANDLE* handle = VXM_csopen("c", "r", &fd, &pid);
    ASSERT_NE(handle, nullptr);
    std::uint8_t expected[4] = {0x34, 0x12, 0, 0};
    std::int32_t value;
    std::memcpy(&value, expected, sizeof value);
    EXPECT_EQ(pid, value);
    VXM_csclose(handle, -1);
}

TEST_F(Channel, AOneByteMessageIsIgnoredWithItsDescriptorClosed) {
    FakeOpend fake;
    std::atomic<int> ignoredClosed{-1};
    fake.expect([&](Connection& c) {
        c.readRequest();
        int ends[2];
        if (pipe(ends) != 0) return;
        c.send(Bytes{0}, ends[0]);  // waits until the client has read it
        close(ends[0]);
        // The client closed the descriptor that came with the ignored message: no reader is left.
        struct pollfd writer = {ends[1], POLLOUT, 0};
        poll(&writer, 1, 1000);
        ignoredClosed = (writer.revents & POLLERR) != 0 ? 1 : 0;
        close(ends[1]);
        int fd = Connection::readablePipe("after\n");
        c.send(reply6(0, 4321), fd);
        close(fd);
        c.sendCloseByte(0);
        c.waitHangup();
    });
    LogCapture log;
    int fd = -77, pid = 0;
    VXM_CS_HANDLE* handle = VXM_csopen("cmd", "r", &fd, &pid);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(pid, 4321);
    EXPECT_EQ(readSome(fd), "after\n");
    EXPECT_EQ(VXM_csclose(handle, -1), 0);
    ASSERT_TRUE(fake.finish());
    EXPECT_EQ(ignoredClosed.load(), 1);
    EXPECT_TRUE(log.all().empty());
}

TEST_F(Channel, MessagesWithANonZeroFirstByteAreSkipped) {
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        c.send(Bytes{9, 0, 1, 2, 3, 4});  // 6 bytes, first not zero: skipped, PID length stays 4
        int fd = Connection::readablePipe("");
        c.send(reply6(0, 77), fd);
        close(fd);
        c.sendCloseByte(1);
        c.waitHangup();
    });
    int fd = -77, pid = 0;
    VXM_CS_HANDLE* handle = VXM_csopen("cmd", "r", &fd, &pid);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(pid, 77);
    EXPECT_EQ(VXM_csclose(handle, -1), 1);
}

TEST_F(Channel, ASkippedShortMessageLeavesNoRoomForAPid) {
    // A 2-byte message with a non-zero first byte sets the PID length to 0: a 6-byte reply after
    // it no longer fits any accepted length.
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        c.send(Bytes{1, 0});
        int fd = Connection::readablePipe("");
        c.send(reply6(0, 77), fd);
        close(fd);
        c.waitHangup();
    });
    LogCapture log;
    int fd = -77, pid = 0;
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    EXPECT_EQ(fd, -77);
    auto found = errors(log);
    ASSERT_EQ(found.size(), 1u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "recv_fd", "message format error");
    (void)pid;
}

TEST_F(Channel, TheModeWGivesADescriptorToFeed) {
    FakeOpend fake;
    std::string fed;
    fake.expect([&](Connection& c) {
        c.readRequest();
        int ends[2];
        if (pipe(ends) != 0) return;
        c.send(Bytes{0, 0}, ends[1]);
        close(ends[1]);
        char buffer[64];
        ssize_t got = read(ends[0], buffer, sizeof buffer);  // the client writes before closing
        if (got > 0) fed.assign(buffer, static_cast<std::size_t>(got));
        close(ends[0]);
        c.sendCloseByte(5);
        c.waitHangup();
    });
    int fd = -77;
    VXM_CS_HANDLE* handle = VXM_csopen("cat > /tmp/out", "w", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(write(fd, "fed\n", 4), 4);
    EXPECT_EQ(VXM_csclose(handle, 3000), 5);
    ASSERT_TRUE(fake.finish());
    EXPECT_EQ(fed, "fed\n");
    EXPECT_EQ(fake.requests()[0], request("cat > /tmp/out", 'w'));
}

// ---- refused replies ----

TEST_F(Channel, AStatusGivesMinusTheStatusAndNoHandle) {
    for (std::uint8_t status : {std::uint8_t{13}, std::uint8_t{1}, std::uint8_t{255}}) {
        for (bool sixBytes : {false, true}) {
            FakeOpend fake;
            fake.expect([&](Connection& c) {
                c.readRequest();
                // A descriptor that comes with a refusal is closed by the client.
                int fd = Connection::readablePipe("");
                c.send(sixBytes ? reply6(status, 1234) : Bytes{0, status}, fd);
                close(fd);
                c.waitHangup();
            });
            LogCapture log;
            int fd = -77;
            EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
            EXPECT_EQ(fd, -77) << "descriptor out must stay untouched";
            EXPECT_TRUE(log.all().empty());
            ASSERT_TRUE(fake.finish());
        }
    }
    // cs_open itself returns minus the status.
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        c.send(Bytes{0, 13});
        c.waitHangup();
    });
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, vxmfake::kOpendPath);
    ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int pid = 42;
    LogCapture log;
    EXPECT_EQ(cs_open(sock, "cmd", "r", &pid), -13);
    EXPECT_EQ(pid, 42) << "PID out is not written on a refusal";
    auto found = errors(log);
    ASSERT_EQ(found.size(), 1u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "cs_open", "recv_fd faild, rcvpid=42");
    EXPECT_TRUE(isOpen(sock)) << "cs_open leaves the socket to its caller";
    close(sock);
}

TEST_F(Channel, AThreeByteReplyIsAFormatError) {
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        c.send(Bytes{0, 0, 0});
        c.waitHangup();
    });
    LogCapture log;
    int fd = -77, pid = 8;
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, &pid), nullptr);
    EXPECT_EQ(fd, -77);
    EXPECT_EQ(pid, 8);
    auto found = errors(log);
    ASSERT_EQ(found.size(), 2u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "recv_fd", "message format error");
    expectRecord(found[1], VXM_LOG_ERROR, "os_utility", "cs_open", "recv_fd faild, rcvpid=8");
}

TEST_F(Channel, AFiveByteReplyIsAFormatError) {
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        c.send(Bytes{0, 0, 1, 2, 3});
        c.waitHangup();
    });
    LogCapture log;
    int fd = -77;
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    auto found = errors(log);
    ASSERT_EQ(found.size(), 1u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "recv_fd", "message format error");
}

TEST_F(Channel, StatusZeroWithoutADescriptorIsRefused) {
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        c.send(reply6(0, 5));
        c.waitHangup();
    });
    LogCapture log;
    int fd = -77;
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    EXPECT_EQ(fd, -77);
    auto found = errors(log);
    ASSERT_EQ(found.size(), 1u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "recv_fd", "message format error");
}

TEST_F(Channel, AHangUpBeforeTheReplyFailsWithoutAMessage) {
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        c.hangup();
    });
    LogCapture log;
    int fd = -77;
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    EXPECT_TRUE(log.all().empty());
    // With PID out the failure is reported with the value PID out holds.
    fake.expect([](Connection& c) {
        c.readRequest();
        c.hangup();
    });
    int pid = -3;
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pid, -3);
    auto found = errors(log);
    ASSERT_EQ(found.size(), 1u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "cs_open", "recv_fd faild, rcvpid=-3");
}

TEST_F(Channel, SilenceTimesOutAfterThreeSecondsPerMessage) {
    // The 3 seconds start afresh for each message: a 1-byte message after 1.5 s, then silence,
    // fails only about 4.5 s after the request.
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        if (!c.sleepMs(1500)) return;
        c.send(Bytes{0});
        c.waitHangup();
    });
    LogCapture log;
    int fd = -77;
    std::int64_t start = nowMs();
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    std::int64_t elapsed = nowMs() - start;
    EXPECT_GE(elapsed, 4400);
    EXPECT_LT(elapsed, 6500);
    EXPECT_EQ(fd, -77);
    auto found = errors(log);
    ASSERT_EQ(found.size(), 1u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "recv_fd",
                 "C: msg timeout or select error 3s");
}

TEST_F(Channel, APeerThatIsNotListeningRefusesTheConnection) {
    LogCapture log;
    int fd = -77;
    // No socket at all.
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    // A socket that is bound but not listening.
    FakeOpend bound(vxmfake::kOpendPath, false);
    ASSERT_TRUE(bound.ok());
    EXPECT_EQ(VXM_csopen("cmd", "r", &fd, nullptr), nullptr);
    EXPECT_EQ(fd, -77);
    auto found = errors(log);
    ASSERT_EQ(found.size(), 2u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "cs_conn",
                 "cs_conn failed:errno=" + std::to_string(ENOENT));
    expectRecord(found[1], VXM_LOG_ERROR, "os_utility", "cs_conn",
                 "cs_conn failed:errno=" + std::to_string(ECONNREFUSED));
    EXPECT_EQ(found[0].format, "cs_conn failed:errno=%d");
}

// ---- arguments ----

TEST_F(Channel, NullArgumentsAndABadModeSendNothing) {
    FakeOpend fake;
    LogCapture log;
    int fd = -77;
    EXPECT_EQ(VXM_csopen(nullptr, "r", &fd, nullptr), nullptr);
    EXPECT_EQ(VXM_csopen("cmd", nullptr, &fd, nullptr), nullptr);
    EXPECT_EQ(VXM_csopen("cmd", "r", nullptr, nullptr), nullptr);
    // Nothing connected for these.
    usleep(50 * 1000);
    EXPECT_EQ(fake.connections(), 0);
    for (const char* mode : {"rw", "", "R", "x", "r "}) {
        fake.expect([](Connection& c) { c.readRequest(1000); });
        EXPECT_EQ(VXM_csopen("cmd", mode, &fd, nullptr), nullptr) << mode;
        ASSERT_TRUE(fake.finish());
    }
    EXPECT_EQ(fd, -77);
    EXPECT_TRUE(log.all().empty());
    // The connection is made, but no byte of a request is sent.
    for (const auto& sent : fake.requests()) EXPECT_EQ(sent, "");
    EXPECT_EQ(VXM_csclose(nullptr, 0), -1);
}

TEST_F(Channel, CsOpenRefusesNullsAndBadModes) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    LogCapture log;
    EXPECT_EQ(cs_open(ends[0], nullptr, "r", nullptr), -1);
    EXPECT_EQ(cs_open(ends[0], "cmd", nullptr, nullptr), -1);
    EXPECT_EQ(cs_open(ends[0], "cmd", "rw", nullptr), -1);
    char probe;
    EXPECT_EQ(recv(ends[1], &probe, 1, MSG_DONTWAIT), -1) << "nothing was sent";
    EXPECT_TRUE(log.all().empty());
    close(ends[0]);
    close(ends[1]);
}

TEST_F(Channel, AFailedWriteIsReportedAndDoesNotEndTheProcess) {
    // The peer has gone: writev fails with EPIPE; SIGPIPE (default action: end the process) is
    // not delivered.
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    close(ends[1]);
    LogCapture log;
    int pid = 6;
    EXPECT_EQ(cs_open(ends[0], "cmd", "r", &pid), -1);
    EXPECT_EQ(pid, 6);
    auto found = errors(log);
    ASSERT_EQ(found.size(), 1u) << "a write failure skips the receive and its report";
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "cs_open", "writev error");
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    close(ends[0]);
    // A descriptor that is no socket at all.
    log.clear();
    EXPECT_EQ(cs_open(-1, "cmd", "r", nullptr), -1);
    ASSERT_EQ(errors(log).size(), 1u);
    EXPECT_EQ(errors(log)[0].message, "writev error");
}

// ---- the close byte ----

TEST_F(Channel, AMissingCloseByteIsAServerFailure) {
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        int fd = Connection::readablePipe("out");
        c.send(Bytes{0, 0}, fd);
        close(fd);
        c.hangup();  // no close byte
    });
    int fd = -77;
    VXM_CS_HANDLE* handle = VXM_csopen("cmd", "r", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    int sock = handle->sock;
    LogCapture log;
    EXPECT_EQ(VXM_csclose(handle, -1), -1);
    auto found = errors(log);
    ASSERT_EQ(found.size(), 1u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "cs_close", "C: server failed");
    EXPECT_FALSE(isOpen(fd));
    EXPECT_FALSE(isOpen(sock));
}

TEST_F(Channel, TheCloseWaitFollowsItsTimeOut) {
    FakeOpend fake;
    // 1500 ms: waits about that long for a byte that never comes.
    fake.expect([](Connection& c) {
        c.readRequest();
        int fd = Connection::readablePipe("");
        c.send(Bytes{0, 0}, fd);
        close(fd);
        c.waitHangup();
    });
    int fd = -77;
    VXM_CS_HANDLE* handle = VXM_csopen("cmd", "r", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    int sock = handle->sock;
    LogCapture log;
    std::int64_t start = nowMs();
    EXPECT_EQ(VXM_csclose(handle, 1500), -1);
    std::int64_t elapsed = nowMs() - start;
    EXPECT_GE(elapsed, 1450);
    EXPECT_LT(elapsed, 2500);
    EXPECT_TRUE(log.all().empty()) << "a time-out is silent";
    EXPECT_FALSE(isOpen(fd));
    EXPECT_FALSE(isOpen(sock));
    ASSERT_TRUE(fake.finish());

    // 0: no wait at all when the byte is not there yet.
    fake.expect([](Connection& c) {
        c.readRequest();
        int fd = Connection::readablePipe("");
        c.send(Bytes{0, 0}, fd);
        close(fd);
        c.waitHangup();
    });
    handle = VXM_csopen("cmd", "r", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    start = nowMs();
    EXPECT_EQ(VXM_csclose(handle, 0), -1);
    EXPECT_LT(nowMs() - start, 200);
    ASSERT_TRUE(fake.finish());

    // 0 with the byte already there returns it.
    std::atomic<bool> sent{false};
    fake.expect([&](Connection& c) {
        c.readRequest();
        int fd = Connection::readablePipe("");
        c.send(Bytes{0, 0}, fd);
        close(fd);
        c.sendCloseByte(200);
        sent = true;
        c.waitHangup();
    });
    handle = VXM_csopen("cmd", "r", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    while (!sent) usleep(1000);
    usleep(20 * 1000);
    EXPECT_EQ(VXM_csclose(handle, 0), 200);
    ASSERT_TRUE(fake.finish());

    // -1 waits for a late byte; 255 comes back as 255.
    fake.expect([](Connection& c) {
        c.readRequest();
        int fd = Connection::readablePipe("");
        c.send(Bytes{0, 0}, fd);
        close(fd);
        if (!c.sleepMs(300)) return;
        c.sendCloseByte(255);
        c.waitHangup();
    });
    handle = VXM_csopen("cmd", "r", &fd, nullptr);
    ASSERT_NE(handle, nullptr);
    start = nowMs();
    EXPECT_EQ(VXM_csclose(handle, -1), 255);
    EXPECT_GE(nowMs() - start, 250);
    ASSERT_TRUE(fake.finish());
}

TEST_F(Channel, CsCloseClosesTheDescriptorOnlyWhenItWaitedOnTheSocket) {
    // The peer has sent the close byte 9 in every row; a given socket is closed in every row.
    struct Row {
        const char* name;
        bool socket, descriptor;
        int timeoutMs, result;
        bool descriptorClosed;
    };
    constexpr Row kRows[] = {
        {"no socket", false, true, 0, -1, false},
        {"no socket, no limit", false, true, -1, -1, false},
        {"no descriptor", true, false, -1, -1, false},
        {"neither", false, false, -1, -1, false},
        {"a time-out below -1 is no valid wait", true, true, -5, -1, true},
        {"the byte within the time-out", true, true, 1000, 9, true},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        int ends[2], pipes[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ASSERT_EQ(pipe(pipes), 0);
        const char byte = 9;
        ASSERT_EQ(write(ends[1], &byte, 1), 1);
        EXPECT_EQ(cs_close(row.socket ? ends[0] : -1, row.descriptor ? pipes[0] : -1, row.timeoutMs),
                  row.result);
        EXPECT_EQ(isOpen(ends[0]), !row.socket);
        EXPECT_EQ(isOpen(pipes[0]), !row.descriptorClosed);
        if (!row.socket) close(ends[0]);
        if (!row.descriptorClosed) close(pipes[0]);
        close(ends[1]);
        close(pipes[1]);
    }
}

// ---- SIGPIPE ----

void markPipe(int) {}

TEST_F(Channel, SigpipeIsIgnoredWhileAHandleIsOpenAndRestoredOnClose) {
    struct sigaction own {};
    own.sa_handler = markPipe;
    sigemptyset(&own.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGPIPE, &own, &before), 0);

    FakeOpend fake;
    auto session = [](Connection& c) {
        c.readRequest();
        int ends[2];
        if (pipe(ends) != 0) return;
        c.send(Bytes{0, 0}, ends[1]);
        close(ends[1]);
        close(ends[0]);  // the reader is gone at once
        c.sendCloseByte(0);
        // Returning frees the fake for the next connection; the close byte stays readable.
    };
    fake.expect(session);
    fake.expect(session);
    int first = -1, second = -1;
    VXM_CS_HANDLE* one = VXM_csopen("a", "w", &first, nullptr);
    ASSERT_NE(one, nullptr);
    struct sigaction now {};
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    EXPECT_EQ(one->ignoreAction.sa_handler, SIG_IGN);
    EXPECT_EQ(one->ignoreAction.sa_flags, 0);
    EXPECT_EQ(one->savedAction.sa_handler, markPipe);
    // Writing to a descriptor whose reader has gone fails with EPIPE (once the fake has closed
    // the read end, which poll reports as an error on the write end).
    pollfd writer{first, 0, 0};
    ASSERT_EQ(poll(&writer, 1, 3000), 1);
    ASSERT_NE(writer.revents & POLLERR, 0);
    errno = 0;
    EXPECT_EQ(write(first, "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);

    VXM_CS_HANDLE* two = VXM_csopen("b", "w", &second, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->savedAction.sa_handler, SIG_IGN);
    // Closed in the order of opening: the first restores the caller's handler, the second then
    // restores what it found (ignore): the last close decides.
    EXPECT_EQ(VXM_csclose(one, 1000), 0);
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, markPipe);
    EXPECT_EQ(VXM_csclose(two, 1000), 0);
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);

    sigaction(SIGPIPE, &before, nullptr);
}

// ---- logcat PID tracking ----

class Logcat : public Channel {
protected:
    void SetUp() override {
        Channel::SetUp();
        if (IsSkipped()) return;
        dir_ = std::make_unique<vxmtest::TempDir>();
        setenv("VXM_FAKE_PGREP_DIR", dir_->path().c_str(), 1);
    }
    // The output of the n-th "busybox pgrep logcat".
    void pgrepOutput(int n, const std::string& text) {
        std::ofstream(dir_->file("pgrep." + std::to_string(n))) << text;
    }
    int pgrepCalls() {
        std::ifstream in(dir_->file("calls"));
        int n = 0;
        in >> n;
        return n;
    }
    static std::vector<LogRecord> logcatRecords(const LogCapture& log) {
        std::vector<LogRecord> found;
        for (const auto& record : log.all())
            if (record.module == "LOG" || record.module == "ttx_port") found.push_back(record);
        return found;
    }
    std::unique_ptr<vxmtest::TempDir> dir_;
};

vxmfake::Session refuse(std::uint8_t status) {
    return [status](Connection& c) {
        c.readRequest();
        c.send(Bytes{0, status});
        c.waitHangup();
    };
}

TEST_F(Logcat, ASuccessfulRequestRecordsAndForgetsTheRunningLogcats) {
    pgrepOutput(1, "100\n200\n");
    FakeOpend fake;
    fake.expect(serveOutput("log", reply6(0, 300), 0));
    LogCapture log;
    int fd = -1, pid = -1;
    VXM_CS_HANDLE* handle = VXM_csopen("logcat -d", "r", &fd, &pid);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(pid, 300);
    VXM_csclose(handle, -1);
    EXPECT_EQ(pgrepCalls(), 1) << "collected once, no hunt after a success";
    auto records = logcatRecords(log);
    ASSERT_EQ(records.size(), 3u);
    expectRecord(records[0], VXM_LOG_INFO, "LOG", "VXM_SaveLogcatID", "VXM_SaveLogcatID:iLogcatID=100");
    expectRecord(records[1], VXM_LOG_INFO, "LOG", "VXM_SaveLogcatID", "VXM_SaveLogcatID:iLogcatID=200");
    expectRecord(records[2], VXM_LOG_INFO, "LOG", "VXM_CollectLogcatID", "VXM_CollectLogcatID:end");
    ASSERT_TRUE(fake.finish());
    EXPECT_EQ(fake.requests()[0], request("logcat -d", 'r'));

    // The list was emptied: a failing logcat request with nothing running before hunts over 0.
    log.clear();
    fake.expect(refuse(2));
    pid = 11;
    EXPECT_EQ(VXM_csopen("logcat", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pid, 11);
    EXPECT_EQ(messages(logcatRecords(log)),
              (std::vector<std::string>{"VXM_CollectLogcatID:end", "Hunt org Num: iLogcatNum[0]"}));
}

TEST_F(Logcat, AFailedOpenHandsOverTheLogcatThatAppeared) {
    pgrepOutput(1, "100\n200\n");
    pgrepOutput(2, "100\n300\n200\n");
    FakeOpend fake;
    fake.expect(refuse(13));
    LogCapture log;
    int fd = -77, pid = -5;
    EXPECT_EQ(VXM_csopen("logcat -v time", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pid, 300);
    EXPECT_EQ(fd, -77);
    EXPECT_EQ(pgrepCalls(), 2);
    auto failure = log.withFormat("recv_fd faild, rcvpid=%d");
    ASSERT_EQ(failure.size(), 1u);
    expectRecord(failure[0], VXM_LOG_ERROR, "os_utility", "cs_open", "recv_fd faild, rcvpid=-5");
    auto records = logcatRecords(log);
    std::vector<std::string> expected = {
        "VXM_SaveLogcatID:iLogcatID=100", "VXM_SaveLogcatID:iLogcatID=200", "VXM_CollectLogcatID:end",
        "Hunt org LogcatID: szLogcatID[100]", "Hunt org LogcatID: szLogcatID[200]",
        "Hunt org Num: iLogcatNum[2]", "Hunt start: iLogID[100]", "Hunt start Count: iCount[1]",
        "Hunt start: iLogID[300]", "Hunt start Count: iCount[2]", "VXM_HuntLogcatID:iLogcatID=300"};
    EXPECT_EQ(messages(records), expected);
    for (size_t i = 3; i < records.size(); ++i)
        expectRecord(records[i], VXM_LOG_INFO, "LOG", "VXM_HuntLogcatID", expected[i]);
}

TEST_F(Logcat, NoLogcatBeforeTheRequestMeansTheHuntFindsNothing) {
    pgrepOutput(1, "");
    pgrepOutput(2, "300\n");
    FakeOpend fake;
    fake.expect(refuse(13));
    LogCapture log;
    int fd = -77, pid = 21;
    EXPECT_EQ(VXM_csopen("logcat", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pid, 21) << "PID out keeps its value";
    EXPECT_EQ(pgrepCalls(), 2);
    EXPECT_EQ(messages(logcatRecords(log)),
              (std::vector<std::string>{"VXM_CollectLogcatID:end", "Hunt org Num: iLogcatNum[0]"}));
}

TEST_F(Logcat, TheHuntFindsNothingWhenEveryLogcatWasThereBefore) {
    pgrepOutput(1, "100\n");
    pgrepOutput(2, "100\n");
    FakeOpend fake;
    fake.expect(refuse(13));
    LogCapture log;
    int fd = -77, pid = 21;
    EXPECT_EQ(VXM_csopen("logcat", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pid, 21);
    auto texts = messages(logcatRecords(log));
    EXPECT_EQ(texts.back(), "Hunt start Count: iCount[0]");
}

TEST_F(Logcat, OnlyTheHeadIsComparedForDuplicates) {
    pgrepOutput(1, "100\n100\n200\n200\n");
    pgrepOutput(2, "");  // the hunt's listing prints nothing
    FakeOpend fake;
    fake.expect(refuse(1));
    LogCapture log;
    int fd = -77, pid = 4;
    EXPECT_EQ(VXM_csopen("logcat", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pid, 4);
    auto records = logcatRecords(log);
    std::vector<std::string> expected = {
        "VXM_SaveLogcatID:iLogcatID=100", "VXM_SaveLogcatID:iLogcatID=100 already here",
        "VXM_SaveLogcatID:iLogcatID=200", "VXM_SaveLogcatID:iLogcatID=200",
        "VXM_CollectLogcatID:end", "Hunt org LogcatID: szLogcatID[100]",
        "Hunt org LogcatID: szLogcatID[200]", "Hunt org LogcatID: szLogcatID[200]",
        "Hunt org Num: iLogcatNum[3]"};
    EXPECT_EQ(messages(records), expected);
    EXPECT_EQ(records[1].format, "VXM_SaveLogcatID:iLogcatID=%d already here");
}

TEST_F(Logcat, UnterminatedLinesAndLongTokens) {
    // Collection: "100" ends, "200" is unterminated and not recorded. A 255-character token ends at
    // its 256th character, which is dropped ("7"), so "42" follows as a token of its own.
    pgrepOutput(1, std::string(255, '0') + "742\n100\n200");
    // Hunt: "300" is unterminated, so it is never examined.
    pgrepOutput(2, "0\n42\n300");
    FakeOpend fake;
    fake.expect(refuse(1));
    LogCapture log;
    int fd = -77, pid = 4;
    EXPECT_EQ(VXM_csopen("xlogcatx", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pid, 4);
    auto texts = messages(logcatRecords(log));
    std::vector<std::string> expected = {
        "VXM_SaveLogcatID:iLogcatID=0", "VXM_SaveLogcatID:iLogcatID=42",
        "VXM_SaveLogcatID:iLogcatID=100", "VXM_CollectLogcatID:end",
        "Hunt org LogcatID: szLogcatID[0]", "Hunt org LogcatID: szLogcatID[42]",
        "Hunt org LogcatID: szLogcatID[100]", "Hunt org Num: iLogcatNum[3]",
        "Hunt start: iLogID[0]", "Hunt start Count: iCount[2]",
        "Hunt start: iLogID[42]", "Hunt start Count: iCount[2]"};
    EXPECT_EQ(texts, expected);
}

TEST_F(Logcat, WithoutPidOutThereIsNoReportAndNoHunt) {
    pgrepOutput(1, "100\n");
    pgrepOutput(2, "100\n300\n");
    FakeOpend fake;
    fake.expect(refuse(13));
    LogCapture log;
    int fd = -77;
    EXPECT_EQ(VXM_csopen("logcat", "r", &fd, nullptr), nullptr);
    EXPECT_EQ(pgrepCalls(), 1);
    EXPECT_TRUE(log.withFormat("recv_fd faild, rcvpid=%d").empty());
    // The list was emptied all the same.
    fake.expect(refuse(13));
    int pid = 1;
    pgrepOutput(2, "");
    pgrepOutput(3, "300\n");
    EXPECT_EQ(VXM_csopen("logcat", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pid, 1);
    EXPECT_EQ(log.withFormat("Hunt org Num: iLogcatNum[%d]").back().message, "Hunt org Num: iLogcatNum[0]");
}

TEST_F(Logcat, OtherCommandsRunNoListing) {
    FakeOpend fake;
    fake.expect(refuse(13));
    int fd = -77, pid = 1;
    EXPECT_EQ(VXM_csopen("dmesg", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pgrepCalls(), 0);
}

TEST_F(Logcat, AFailedWriteKeepsTheListForTheNextRequest) {
    pgrepOutput(1, "100\n");
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    close(ends[1]);
    EXPECT_EQ(cs_open(ends[0], "logcat", "r", nullptr), -1);
    close(ends[0]);
    // The next logcat request appends to the list that stayed.
    pgrepOutput(2, "200\n");
    pgrepOutput(3, "100\n200\n");
    FakeOpend fake;
    fake.expect(refuse(13));
    LogCapture log;
    int fd = -77, pid = 9;
    EXPECT_EQ(VXM_csopen("logcat", "r", &fd, &pid), nullptr);
    EXPECT_EQ(pid, 9);
    EXPECT_EQ(log.withFormat("Hunt org Num: iLogcatNum[%d]").back().message, "Hunt org Num: iLogcatNum[2]");
}

// A program named logcat: a copy of sleep, so that pgrep finds it by name.
pid_t startLogcat(const std::string& program) {
    pid_t pid = fork();
    if (pid == 0) {
        execl(program.c_str(), "logcat", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

bool waitUntilListed(pid_t pid) {
    // pgrep matches the name the process has after exec; wait until the exec has happened.
    for (int i = 0; i < 200; ++i) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == "logcat") return true;
        usleep(5000);
    }
    return false;
}

TEST_F(Logcat, TheHuntFindsARealLogcatStartedDuringTheRequest) {
    unsetenv("VXM_FAKE_PGREP_DIR");  // the shim now runs a real pgrep
    std::string program = dir_->file("logcat");
    {
        std::ifstream in("/bin/sleep", std::ios::binary);
        std::ofstream out(program, std::ios::binary);
        out << in.rdbuf();
    }
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    pid_t before = startLogcat(program);
    ASSERT_TRUE(waitUntilListed(before));
    std::atomic<pid_t> appeared{-1};
    FakeOpend fake;
    fake.expect([&](Connection& c) {
        c.readRequest();
        pid_t started = startLogcat(program);
        waitUntilListed(started);
        appeared = started;
        c.send(Bytes{0, 13});
        c.waitHangup();
    });
    LogCapture log;
    int fd = -77, pid = -1;
    EXPECT_EQ(VXM_csopen("logcat -d", "r", &fd, &pid), nullptr);
    ASSERT_TRUE(fake.finish());
    EXPECT_EQ(pid, appeared.load());
    EXPECT_NE(pid, before);
    for (pid_t child : {before, appeared.load()}) {
        if (child <= 0) continue;
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

// ---- command functions ----

TEST_F(Channel, ExecFindSearchesTheFirstReadOfTheOutput) {
    FakeOpend fake;
    fake.expect(serveOutput("abc def\n", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_execFind("ip route", "def"), 1);
    fake.expect(serveOutput("abc def\n", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_execFind("ip route", "xyz"), 0);
    fake.expect(serveOutput("abc\n", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_execFind("ip route", nullptr), 1);
    fake.expect(serveOutput("", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_execFind("ip route", nullptr), 0);
    // Only the first 4095 bytes are searched.
    fake.expect(serveOutput(std::string(4094, '.') + "needle", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_execFind("big", "n"), 1);
    fake.expect(serveOutput(std::string(4095, '.') + "needle", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_execFind("big", "n"), 0);
    ASSERT_TRUE(fake.finish());
    // Mode "r" and the command, byte for byte.
    EXPECT_EQ(fake.requests()[0], request("ip route", 'r'));
    EXPECT_EQ(VXM_utl_execFind(nullptr, "x"), 0);
}

TEST_F(Channel, ShellCmdAndShellFindJudgeWhetherThereWasOutput) {
    FakeOpend fake;
    fake.expect(serveOutput("x", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_shellCMD("chmod 644 /tmp/f"), 0);
    fake.expect(serveOutput("", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_shellCMD("true"), -1) << "a command that prints nothing gives -1";
    fake.expect(serveOutput(std::string(500, 'y'), Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_shellCMD("yes"), 0);
    fake.expect(serveOutput("x", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_shellFind("pgrep x"), 1);
    fake.expect(serveOutput("", Bytes{0, 0}));
    EXPECT_EQ(VXM_utl_shellFind("pgrep x"), 0);
    ASSERT_TRUE(fake.finish());
    EXPECT_EQ(fake.requests()[0], request("chmod 644 /tmp/f", 'r'));
    LogCapture log;
    EXPECT_EQ(VXM_utl_shellCMD(nullptr), -1);
    EXPECT_EQ(VXM_utl_shellFind(nullptr), 0);
    EXPECT_TRUE(log.all().empty());
}

TEST_F(Channel, CommandFunctionsWaitForTheCloseByte) {
    FakeOpend fake;
    fake.expect([](Connection& c) {
        c.readRequest();
        int fd = Connection::readablePipe("out\n");
        c.send(Bytes{0, 0}, fd);
        close(fd);
        if (!c.sleepMs(400)) return;
        c.sendCloseByte(0);
        c.waitHangup();
    });
    std::int64_t start = nowMs();
    EXPECT_EQ(VXM_utl_shellFind("cmd"), 1);
    EXPECT_GE(nowMs() - start, 350);
}

TEST_F(Channel, CommandFunctionsReportAFailedOpen) {
    LogCapture log;
    EXPECT_EQ(VXM_utl_execFind("no daemon", "x"), 0);
    EXPECT_EQ(VXM_utl_shellCMD("no daemon"), -1);
    EXPECT_EQ(VXM_utl_shellFind("no daemon"), 0);
    auto found = log.withFormat("shell command can't excute : %s");
    ASSERT_EQ(found.size(), 3u);
    expectRecord(found[0], VXM_LOG_ERROR, "os_utility", "VXM_utl_execFind",
                 "shell command can't excute : no daemon");
    EXPECT_EQ(found[1].function, "VXM_utl_shellCMD");
    EXPECT_EQ(found[2].function, "VXM_utl_shellFind");
}

}  // namespace
