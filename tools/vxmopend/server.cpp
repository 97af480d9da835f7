#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>

#include "request.h"
#include "unique_fd.h"

namespace vxmopend {
namespace {

constexpr int kRequestTimeoutMs = 3000;   // a peer that sends no full request by then is dropped
constexpr int kOrphanGraceMs = 1000;      // a deserted command may finish before it is ended
constexpr int kKillGraceMs = 1000;        // between SIGTERM and SIGKILL
constexpr int kAcceptRetryMs = 1000;      // a daemon short of descriptors tries the listener again
constexpr std::size_t kBacklogLimit = 1024 * 1024;  // output held for a client that lags
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kReadPerTurn = 256 * 1024;    // per relay and loop turn, so all are served

// Whether what commands leave behind comes to this process (PR_SET_CHILD_SUBREAPER). Some kernels
// and emulators refuse it; then a group counts as gone once the kill finds nobody or SIGKILL is out.
bool g_adopts = false;

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Session {
    UniqueFd socket;
    pid_t peerPid = -1;
    uid_t peerUid = 0;
    std::string input;           // request bytes received so far
    std::int64_t requestDeadline = 0;
    bool answered = false;
    Request request;
    int reply = -1;              // status byte sent, -1 while none was
    const char* note = nullptr;  // why a request got no reply or its client went
    pid_t child = -1;            // the shell, leader of its own process group
    bool reaped = false;         // the shell
    bool groupGone = false;      // the shell is reaped and no process of its group is left
    int exitStatus = -1;
    bool closeSent = false;
    bool clientGone = false;
    std::int64_t termAt = 0;     // when a deserted command gets SIGTERM, then SIGKILL; -1 once killed
    std::int64_t killAt = 0;
    UniqueFd relayIn;            // mode "r": read end of the command's standard output
    UniqueFd relayOut;           // mode "r": write end of the pipe the client reads
    std::vector<char> backlog;
    std::size_t backlogHead = 0;

    bool groupRunning() const { return child > 0 && !groupGone; }
    bool relayDone() const { return !relayIn.valid() && !relayOut.valid(); }
    bool finished() const {
        if (groupRunning()) return false;
        return !socket.valid() || clientGone || (closeSent && relayDone());
    }
};

using SessionList = std::list<std::unique_ptr<Session>>;

void logSession(const Session& s) {
    char mode[2] = {s.request.mode != 0 ? s.request.mode : '-', '\0'};
    std::string command = printable(s.request.command.empty() ? std::string_view() : s.request.command);
    std::fprintf(stderr, "vxmopend: peer pid=%d uid=%u mode=%s command=\"%s\" status=%d pid=%d exit=%d%s%s\n",
                 static_cast<int>(s.peerPid), static_cast<unsigned>(s.peerUid), mode, command.c_str(), s.reply,
                 static_cast<int>(s.child), s.exitStatus, s.note != nullptr ? " " : "", s.note != nullptr ? s.note : "");
}

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Sends the reply: byte 0, the status, and with status 0 the PID and the descriptor.
bool sendReply(Session& s, int status, int fd) {
    unsigned char bytes[6] = {0, static_cast<unsigned char>(status), 0, 0, 0, 0};
    std::int32_t pid = static_cast<std::int32_t>(s.child);
    std::memcpy(bytes + 2, &pid, sizeof pid);
    iovec iov{bytes, fd >= 0 ? sizeof bytes : 2};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&msg);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    s.answered = true;
    s.reply = status;
    return sendmsg(s.socket.get(), &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(iov.iov_len);
}

void refuse(Session& s, int status) {
    sendReply(s, status, -1);
    s.socket.reset();
}

// What every command starts with: a process group of its own, no blocked signal, every signal the
// daemon handles or ignores back at its default, and nothing open but its standard streams, the
// unused ones on devNull (/dev/null, open for the whole life of the daemon).
class SpawnSetup {
public:
    explicit SpawnSetup(int devNull) : devNull_(devNull) {
        ok_ = posix_spawnattr_init(&attr_) == 0;
        if (!ok_) return;
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        ok_ = posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                   POSIX_SPAWN_SETSIGDEF) == 0 &&
              posix_spawnattr_setpgroup(&attr_, 0) == 0 && posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
              posix_spawnattr_setsigdefault(&attr_, &all) == 0;
    }
    ~SpawnSetup() {
        if (ok_) posix_spawnattr_destroy(&attr_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Starts /bin/sh -c command with streamFd as its stream streamNumber (0 or 1) and /dev/null as
    // the other two. @return 0 with pid set, or an errno
    int spawn(const char* command, int streamFd, int streamNumber, pid_t& pid) const {
        if (!ok_) return ENOMEM;
        posix_spawn_file_actions_t actions;
        if (posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
        int error = 0;
        for (int n = 0; n <= 2 && error == 0; ++n)
            error = posix_spawn_file_actions_adddup2(&actions, n == streamNumber ? streamFd : devNull_, n);
        if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        if (error == 0) {
            char sh[] = "sh", dashC[] = "-c";
            char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
            error = posix_spawn(&pid, "/bin/sh", &actions, &attr_, argv, environ);
        }
        posix_spawn_file_actions_destroy(&actions);
        return error;
    }

private:
    int devNull_;
    posix_spawnattr_t attr_;
    bool ok_ = false;
};

// Nothing a request starts may outlive it. Once the request is over (its client has gone, or its
// shell has ended and the close byte is out), what is left of its process group gets a short grace,
// then SIGTERM, then SIGKILL (endGroupOnSchedule). A command that must stay leaves the group (setsid).
void scheduleGroupEnd(Session& s, std::int64_t now) {
    if (s.groupRunning() && s.termAt == 0) {
        s.termAt = now + kOrphanGraceMs;
        s.killAt = s.termAt + kKillGraceMs;
    }
}

// The client has gone: nothing more is sent to it, and the request is over.
void desert(Session& s, const char* note, std::int64_t now) {
    s.clientGone = true;
    if (s.note == nullptr) s.note = note;
    s.socket.reset();  // at end of file it would stay readable
    s.relayIn.reset();
    s.relayOut.reset();
    s.backlog.clear();
    s.backlogHead = 0;
    scheduleGroupEnd(s, now);
}

// Starts the command and answers the client; any failure is answered with its errno.
void startCommand(Session& s, const SpawnSetup& setup) {
    int streamPipe[2];
    if (pipe2(streamPipe, O_CLOEXEC) != 0) return refuse(s, errno);
    UniqueFd pipeRead(streamPipe[0]), pipeWrite(streamPipe[1]);
    UniqueFd clientEnd;  // what the client gets
    int childEnd = -1;
    int streamNumber = 0;
    if (s.request.mode == 'r') {
        int relayPipe[2];
        if (pipe2(relayPipe, O_CLOEXEC) != 0) return refuse(s, errno);
        clientEnd.reset(relayPipe[0]);
        s.relayOut.reset(relayPipe[1]);
        if (!setNonBlocking(pipeRead.get()) || !setNonBlocking(s.relayOut.get())) {
            s.relayOut.reset();
            return refuse(s, errno);
        }
        childEnd = pipeWrite.get();
        streamNumber = 1;
    } else {
        clientEnd = std::move(pipeWrite);
        childEnd = pipeRead.get();
        streamNumber = 0;
    }
    pid_t pid = -1;
    if (int error = setup.spawn(s.request.command.c_str(), childEnd, streamNumber, pid)) {
        s.relayOut.reset();
        return refuse(s, error);
    }
    s.child = pid;
    if (s.request.mode == 'r') s.relayIn = std::move(pipeRead);
    if (!sendReply(s, 0, clientEnd.get())) desert(s, "client gone before the reply", nowMs());
}

void handleRequest(Session& s, const std::vector<uid_t>& allowed, const SpawnSetup& setup) {
    if (std::find(allowed.begin(), allowed.end(), s.peerUid) == allowed.end()) return refuse(s, EACCES);
    if (!parseRequest(s.input, s.request)) {
        s.request = Request();
        return refuse(s, EINVAL);
    }
    startCommand(s, setup);
}

void readRequest(Session& s, const std::vector<uid_t>& allowed, const SpawnSetup& setup) {
    char buffer[4096];
    ssize_t n = recv(s.socket.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        s.note = "request truncated";
        s.socket.reset();
        return;
    }
    const char* end = static_cast<const char*>(std::memchr(buffer, '\0', static_cast<std::size_t>(n)));
    std::size_t take = end != nullptr ? static_cast<std::size_t>(end - buffer) : static_cast<std::size_t>(n);
    if (s.input.size() + take + (end != nullptr ? 1 : 0) > kMaxRequest) {
        s.note = "request too long";
        return refuse(s, E2BIG);
    }
    s.input.append(buffer, take);
    if (end != nullptr) handleRequest(s, allowed, setup);
}

// Bytes after the request (there should be none) are dropped; end of file means the client went.
void watchClient(Session& s, std::int64_t now) {
    char buffer[4096];
    ssize_t n = recv(s.socket.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return;
    desert(s, s.reaped ? nullptr : "client left before the command ended", now);
}

void flushBacklog(Session& s) {
    while (s.relayOut.valid() && s.backlogHead < s.backlog.size()) {
        ssize_t n = write(s.relayOut.get(), s.backlog.data() + s.backlogHead, s.backlog.size() - s.backlogHead);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) s.relayOut.reset();  // the client closed its end
            break;
        }
        s.backlogHead += static_cast<std::size_t>(n);
    }
    if (!s.relayOut.valid() || s.backlogHead == s.backlog.size()) {
        s.backlog.clear();
        s.backlogHead = 0;
    } else if (s.backlogHead > s.backlog.size() / 2) {
        s.backlog.erase(s.backlog.begin(), s.backlog.begin() + static_cast<std::ptrdiff_t>(s.backlogHead));
        s.backlogHead = 0;
    }
}

// Takes the command's output so that the command never waits on the client: what does not fit in
// the client's pipe waits in the backlog, and what does not fit there either is dropped.
void relayOutput(Session& s) {
    char buffer[kReadChunk];
    for (std::size_t total = 0; s.relayIn.valid() && total < kReadPerTurn;) {
        ssize_t n = read(s.relayIn.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) {
            s.relayIn.reset();
            break;
        }
        total += static_cast<std::size_t>(n);
        if (!s.relayOut.valid()) continue;
        std::size_t held = s.backlog.size() - s.backlogHead;
        std::size_t keep = std::min(static_cast<std::size_t>(n), kBacklogLimit - std::min(held, kBacklogLimit));
        s.backlog.insert(s.backlog.end(), buffer, buffer + keep);
        flushBacklog(s);
    }
    flushBacklog(s);
    if (!s.relayIn.valid() && s.backlogHead == s.backlog.size()) s.relayOut.reset();  // client sees the end
}

int exitByte(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) return info.si_status & 0xff;
    if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) return 128 + info.si_status;
    return 255;
}

// Sends SIGTERM, then SIGKILL, to what is left of a request's group when its time comes. The
// group id is safe to signal: it is known to hold a process of ours (reapChildren) that only this
// thread reaps, so the id cannot have passed to another group.
void endGroupOnSchedule(Session& s, std::int64_t now) {
    if (!s.groupRunning() || s.termAt <= 0 || now < s.termAt) return;
    if (now >= s.killAt) {
        kill(-s.child, SIGKILL);
        s.termAt = -1;  // nothing more to send; the reaps follow
        if (!g_adopts) s.groupGone = s.reaped;  // no reap of the rest will come to tell
    } else {
        kill(-s.child, SIGTERM);
        s.termAt = s.killAt;  // SIGTERM once
    }
}

Session* sessionOf(SessionList& sessions, pid_t pid) {
    for (auto& s : sessions)
        if (s->child == pid && !s->reaped) return s.get();
    return nullptr;
}

// Reaps every child that has ended: the shells, which send their close bytes, and what their
// commands left behind, which the daemon adopts (serve). The request is over with the close byte,
// not only once the client leaves: a client that reads the output to its end would otherwise wait
// for a background child holding the output open, while that child waited for the client to go.
void reapChildren(SessionList& sessions, std::int64_t now) {
    for (;;) {
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0) break;
        Session* s = sessionOf(sessions, info.si_pid);
        if (s == nullptr) continue;
        s->reaped = true;
        s->exitStatus = exitByte(info);
        if (!s->clientGone && s->socket.valid()) {
            unsigned char byte = static_cast<unsigned char>(s->exitStatus);
            s->closeSent = send(s->socket.get(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1;
            if (!s->closeSent) s->clientGone = true;
        }
        scheduleGroupEnd(*s, now);
    }
    // Without a child of ours left in it, the group is empty: whatever leaves it comes to us.
    for (auto& s : sessions) {
        siginfo_t info{};
        if (!s->reaped || s->groupGone) continue;
        if (g_adopts)
            s->groupGone = waitid(P_PGID, static_cast<id_t>(s->child), &info, WEXITED | WNOHANG | WNOWAIT) != 0;
        else
            s->groupGone = kill(-s->child, 0) != 0 || s->termAt == -1;
    }
}

UniqueFd listenOn(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "vxmopend: socket path too long: %s\n", path.c_str());
        return UniqueFd();
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        std::fprintf(stderr, "vxmopend: socket: %s\n", std::strerror(errno));
        return UniqueFd();
    }
    // A socket file left by a daemon that died may be replaced; a live daemon's may not.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        bool live = S_ISSOCK(st.st_mode) && probe.valid() &&
                    connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (!S_ISSOCK(st.st_mode) || live) {
            std::fprintf(stderr, "vxmopend: %s is in use\n", path.c_str());
            return UniqueFd();
        }
        unlink(path.c_str());
    }
    mode_t saved = umask(0117);
    int bound = bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    umask(saved);
    if (bound != 0 || chmod(path.c_str(), 0660) != 0 || listen(fd.get(), SOMAXCONN) != 0) {
        std::fprintf(stderr, "vxmopend: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
        if (bound == 0) unlink(path.c_str());
        return UniqueFd();
    }
    return fd;
}

// Out of descriptors (or of kernel memory), every accept fails while the listener stays readable:
// watched, it would turn the loop into a spin. So it goes unwatched, new peers waiting in its
// backlog, until one of the daemon's descriptors is freed or a retry comes due (a shortage of the
// whole system's may end without one of ours). One log line per shortage, not one per failure.
class AcceptPause {
public:
    // Whether to watch the listener this turn, given the number of descriptors the loop watches.
    bool watch(std::size_t watched, std::int64_t now) {
        if (paused_ && (watched < watched_ || now >= retryAt_)) paused_ = false;
        watched_ = watched;
        return !paused_;
    }
    // After a round of accepts: the errno of the shortage that ended it, or 0.
    void after(int shortage, std::int64_t now) {
        if (shortage == 0) {
            logged_ = false;
            return;
        }
        if (!logged_) std::fprintf(stderr, "vxmopend: accept: %s; new peers wait until there is room\n", std::strerror(shortage));
        logged_ = true;
        paused_ = true;
        retryAt_ = now + kAcceptRetryMs;
    }
    std::int64_t retryAt() const { return paused_ ? retryAt_ : 0; }

private:
    bool paused_ = false;
    bool logged_ = false;
    std::size_t watched_ = 0;
    std::int64_t retryAt_ = 0;
};

// Accepts the waiting peers and reads the request each has already sent; returns the errno of a
// shortage that stopped it, else 0.
int acceptClients(int listenFd, SessionList& sessions, std::int64_t now, const std::vector<uid_t>& allowed,
                  const SpawnSetup& setup) {
    for (int i = 0; i < 64; ++i) {
        UniqueFd fd(accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.valid()) {
            int error = errno;
            return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ? error : 0;
        }
        auto s = std::make_unique<Session>();
        ucred cred{};
        socklen_t length = sizeof cred;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) continue;
        s->socket = std::move(fd);
        s->peerPid = cred.pid;
        s->peerUid = cred.uid;
        s->requestDeadline = now + kRequestTimeoutMs;
        readRequest(*s, allowed, setup);
        sessions.push_back(std::move(s));
    }
    return 0;
}

UniqueFd openSignalFd(sigset_t& handled) {
    sigemptyset(&handled);
    sigaddset(&handled, SIGCHLD);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    if (sigprocmask(SIG_BLOCK, &handled, nullptr) != 0) return UniqueFd();
    return UniqueFd(signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK));
}

// Drains the signal descriptor; true when a stop was asked for.
bool readSignals(int fd) {
    bool stop = false;
    signalfd_siginfo info{};
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) stop = true;
    }
    return stop;
}

// Stops serving: every client is dropped and every command's group gets SIGTERM, then SIGKILL.
void beginStop(SessionList& sessions, std::int64_t now) {
    for (auto& s : sessions) {
        if (s->groupRunning()) {
            kill(-s->child, SIGTERM);
            s->termAt = now + kKillGraceMs;
            s->killAt = s->termAt;
        }
        s->clientGone = true;
        if (s->note == nullptr) s->note = "daemon stopping";
        s->socket.reset();
        s->relayIn.reset();
        s->relayOut.reset();
    }
}

int pollTimeout(const SessionList& sessions, std::int64_t acceptRetryAt, std::int64_t now) {
    std::int64_t next = -1;
    auto consider = [&](std::int64_t at) {
        if (at > 0 && (next < 0 || at < next)) next = at;
    };
    consider(acceptRetryAt);
    for (const auto& s : sessions) {
        if (!s->answered && s->socket.valid()) consider(s->requestDeadline);
        if (s->groupRunning()) consider(s->termAt);
    }
    if (next < 0) return -1;
    return static_cast<int>(std::max<std::int64_t>(0, next - now));
}

}  // namespace

int serve(const Options& options) {
    signal(SIGPIPE, SIG_IGN);
    // What a command leaves running comes to this process when the command's shell ends, so that it
    // can be ended with the request and reaped.
    g_adopts = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    if (!g_adopts)
        std::fprintf(stderr, "vxmopend: PR_SET_CHILD_SUBREAPER: %s; what a command leaves running is ended, but not reaped here\n",
                     std::strerror(errno));
    sigset_t handled;
    UniqueFd signals = openSignalFd(handled);
    if (!signals.valid()) {
        std::fprintf(stderr, "vxmopend: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    UniqueFd listener = listenOn(options.socketPath);
    if (!listener.valid()) return 1;
    UniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull.valid()) {
        std::fprintf(stderr, "vxmopend: /dev/null: %s\n", std::strerror(errno));
        return 1;
    }
    const SpawnSetup setup(devNull.get());
    std::vector<uid_t> allowed = options.allowedUids;
    allowed.push_back(geteuid());

    SessionList sessions;
    AcceptPause acceptPause;
    bool stopping = false;
    std::vector<pollfd> fds;
    std::vector<Session*> owners;  // the session of each pollfd beyond the first two
    while (!stopping || std::any_of(sessions.begin(), sessions.end(), [](auto& s) { return s->groupRunning(); })) {
        fds.clear();
        owners.clear();
        fds.push_back({signals.get(), POLLIN, 0});
        fds.push_back({listener.valid() ? listener.get() : -1, POLLIN, 0});
        for (auto& s : sessions) {
            auto add = [&](const UniqueFd& fd, short events) {
                if (!fd.valid()) return;
                fds.push_back({fd.get(), events, 0});
                owners.push_back(s.get());
            };
            add(s->socket, POLLIN);
            add(s->relayIn, POLLIN);
            add(s->relayOut, s->backlogHead < s->backlog.size() ? POLLOUT : 0);
        }
        std::int64_t now = nowMs();
        if (!acceptPause.watch(fds.size(), now)) fds[1].fd = -1;
        int ready = poll(fds.data(), fds.size(), pollTimeout(sessions, acceptPause.retryAt(), now));
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "vxmopend: poll: %s\n", std::strerror(errno));
            break;
        }
        now = nowMs();
        if (fds[0].revents != 0 && readSignals(signals.get()) && !stopping) {
            stopping = true;
            listener.reset();
            unlink(options.socketPath.c_str());
            beginStop(sessions, now);
        }
        if (listener.valid() && fds[1].fd >= 0 && fds[1].revents != 0)
            acceptPause.after(acceptClients(listener.get(), sessions, now, allowed, setup), now);
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Session& s = *owners[i - 2];
            int fd = fds[i].fd;
            if (fd == s.socket.get()) {
                if (!s.answered)
                    readRequest(s, allowed, setup);
                else
                    watchClient(s, now);
            } else if (fd == s.relayIn.get()) {
                relayOutput(s);
            } else if (fd == s.relayOut.get()) {
                if (fds[i].revents & (POLLERR | POLLHUP)) {
                    s.relayOut.reset();  // the client closed its end; keep taking the output
                    s.backlog.clear();
                    s.backlogHead = 0;
                } else {
                    flushBacklog(s);
                }
                if (!s.relayIn.valid() && s.backlog.empty()) s.relayOut.reset();
            }
        }
        reapChildren(sessions, now);
        for (auto it = sessions.begin(); it != sessions.end();) {
            Session& s = **it;
            if (!s.answered && s.socket.valid() && now >= s.requestDeadline) {
                s.note = "no request in time";
                s.socket.reset();
            }
            endGroupOnSchedule(s, now);
            if (s.finished()) {
                logSession(s);
                it = sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : sessions) {
        if (s->groupRunning()) {
            kill(-s->child, SIGKILL);
            siginfo_t info{};
            while (waitid(P_PGID, static_cast<id_t>(s->child), &info, WEXITED) == 0) {
            }
        }
    }
    if (listener.valid()) unlink(options.socketPath.c_str());
    return 0;
}

}  // namespace vxmopend
