// A scripted stand-in for the open daemon, for tests of the channel client. It listens on
// "/tmp/vxmopend" (tests run in a private /tmp: see tests/run_in_private_tmp.sh) and serves the
// connections with session scripts, each on a thread of its own. Scripts send exactly the bytes and
// descriptors a test wants, misbehaving on purpose.
#ifndef VXMOSAL_TESTS_FAKES_FAKE_OPEND_H
#define VXMOSAL_TESTS_FAKES_FAKE_OPEND_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vxmfake {

constexpr char kOpendPath[] = "/tmp/vxmopend";

// One accepted connection, handed to a session script.
struct Connection {
    // Reads the request: up to and including the first 0 byte, or until the peer closes or 3 s pass.
    void readRequest();
    // Sends bytes as one message, with descriptor passFd (SCM_RIGHTS) when it is 0 or more, and
    // (waitRead) returns once the client has taken them out of its socket (at most 3 s), so that the
    // next message cannot be read together with this one; the close byte goes without that wait.
    void send(const std::vector<std::uint8_t>& bytes, int passFd = -1, bool waitRead = true);
    // Waits until the client closes the connection (at most 10 s).
    void waitHangup();

    int fd;
    std::pair<std::string, int> request;  // what readRequest read, and in how many reads
};

// The read end of a pipe that holds output and whose write end is closed.
int readablePipe(const std::string& output);

class FakeOpend {
public:
    explicit FakeOpend(bool listen = true);  // false: the path is bound but nobody listens
    ~FakeOpend();
    // Serves a connection accepted within 10 s with the script.
    void expect(std::function<void(Connection&)> session);
    // Waits until every script has run to its end; returns whether each had its connection.
    bool finish();
    std::deque<Connection> connections;  // one per script, in order, each written by its thread only

private:
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
};

}  // namespace vxmfake

#endif
