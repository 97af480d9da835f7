// A scripted stand-in for the open daemon, for tests of the channel client. It listens on a local
// stream socket ("/tmp/vxmopend" by default, so tests run in a private /tmp: see
// tests/run_in_private_tmp.sh) and serves each accepted connection with the next queued session
// script, on a thread of its own. Scripts send exactly the bytes and descriptors a test wants.
#ifndef VXMOSAL_TESTS_FAKES_FAKE_OPEND_H
#define VXMOSAL_TESTS_FAKES_FAKE_OPEND_H

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vxmfake {

constexpr char kOpendPath[] = "/tmp/vxmopend";

class FakeOpend;

// One accepted connection, handed to a session script.
class Connection {
public:
    // Reads the request: bytes up to and including the first 0 byte (or until the peer closes or
    // timeoutMs passes). Returns what was read; the count of reads it took is in requestReads().
    std::string readRequest(int timeoutMs = 3000);
    int requestReads() const { return requestReads_; }

    // Sends bytes as one message, with descriptor passFd (SCM_RIGHTS) when it is 0 or more. With
    // waitRead, returns only once the client has taken the bytes out of its socket (or after 3 s),
    // so that the next message cannot be read together with this one.
    void send(const std::vector<std::uint8_t>& bytes, int passFd = -1, bool waitRead = true);
    // Sends the close byte (not waiting for it to be read).
    void sendCloseByte(std::uint8_t value) { send({value}, -1, false); }

    // A pipe whose read end is returned for passing (mode "r"): output is written into it and its
    // write end closed. The caller closes the returned descriptor after sending it.
    static int readablePipe(const std::string& output);

    // Waits until the client closes the connection (or the fake stops, or timeoutMs passes; -1:
    // no limit). Returns true when the client closed it.
    bool waitHangup(int timeoutMs = 10000);
    // Sleeps, cut short when the fake stops. Returns false when it was cut short.
    bool sleepMs(int ms);
    // Closes the connection now.
    void hangup();

    int fd() const { return fd_; }

private:
    friend class FakeOpend;
    Connection(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) {}
    int fd_;
    int stopFd_;
    int requestReads_ = 0;
    std::string request_;
};

using Session = std::function<void(Connection&)>;

class FakeOpend {
public:
    // listen false: the path is bound but not listening (a peer that is not listening).
    explicit FakeOpend(const std::string& path = kOpendPath, bool listen = true);
    ~FakeOpend();
    FakeOpend(const FakeOpend&) = delete;
    FakeOpend& operator=(const FakeOpend&) = delete;

    bool ok() const { return listenFd_ >= 0; }

    // Queues the script of the next connection. A connection without a script is closed at once.
    void expect(Session session);
    // Waits until every queued script has run to its end. Returns false on time-out.
    bool finish(int timeoutMs = 10000);

    // What each connection sent as its request (in accept order), and the reads each took.
    std::vector<std::string> requests() const;
    std::vector<int> requestReads() const;
    int connections() const;

private:
    void run();

    std::string path_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::deque<Session> sessions_;
    bool busy_ = false;
    int connections_ = 0;
    std::vector<std::string> requests_;
    std::vector<int> requestReads_;
};

}  // namespace vxmfake

#endif
