// The real vxmopend binary started by a test: in the foreground on a socket path the test names,
// its log (standard error) in a file, stopped with SIGTERM.
#ifndef VXMOSAL_TESTS_OPEND_DAEMON_H
#define VXMOSAL_TESTS_OPEND_DAEMON_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"

namespace vxmtest {

// Waits until check() holds, at most timeout; returns whether it did.
template <typename Check>
bool waitUntil(Check check, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (; !check(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

class OpendDaemon {
public:
    OpendDaemon(const std::string& binary, const std::string& socketPath, const std::string& logPath,
                std::vector<std::string> extra = {})
        : socket_(socketPath), log_(logPath) {
        // In a cross build VXM_TEST_EMULATOR lists the words that run a target program ("qemu-arm,-L,...").
        std::vector<std::string> args;
#ifdef VXM_TEST_EMULATOR
        std::istringstream list(VXM_TEST_EMULATOR);
        for (std::string word; std::getline(list, word, ',');) args.push_back(word);
#endif
        args.insert(args.end(), {binary, "--socket", socket_});
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if ((pid_ = fork()) == 0) {
            dup2(open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        // The file appears at bind, and a connect is refused until listen: the kernel's table marks a
        // listening socket with the flag 00010000.
        const auto listening = [&] {
            const std::string table = readFile("/proc/net/unix");
            const std::size_t at = table.find(" " + socket_ + "\n");
            return at != std::string::npos && table.find(" 00010000 ", table.rfind('\n', at)) < at;
        };
        ready_ = pid_ > 0 && waitUntil(listening, std::chrono::seconds(5));
    }
    ~OpendDaemon() { stop(); }

    // SIGTERM, then the exit status (or -1 when it did not end within 5 s).
    int stop() {
        if (pid_ <= 0) return exit_;
        kill(pid_, SIGTERM);
        int status = 0;
        const bool ended = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(5));
        if (!ended) kill(pid_, SIGKILL), waitpid(pid_, &status, 0);
        pid_ = -1;
        return exit_ = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    const std::string& socket() const { return socket_; }
    std::string log() const { return readFile(log_); }
    // Whether the log comes to hold text within 5 s (a request's line follows its command's end).
    bool logs(const std::string& text) const {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, std::chrono::seconds(5));
    }

private:
    std::string socket_, log_;
    pid_t pid_ = -1;
    int exit_ = -1;
    bool ready_ = false;
};

}  // namespace vxmtest

#endif
