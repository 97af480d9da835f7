// The client of the privileged command channel to the open daemon on "/tmp/vxmopend": the request,
// the reply with its passed descriptor, the close byte, the logcat PID tracking around logcat
// requests, and the three command functions that judge a command's output.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "internal/log.h"
#include "internal/safe_string.h"
#include "vxmosal/VXM_channel.h"
#include "vxmosal/VXM_memory.h"
#include "vxmosal/VXM_shell.h"

namespace {

constexpr char kModuleTag[] = "os_utility";
constexpr char kLogcatTag[] = "LOG";
constexpr char kListAllocTag[] = "ttx_port";

constexpr char kSocketPath[] = "/tmp/vxmopend";
constexpr char kRequestHead[] = "open#";
constexpr std::size_t kModePieceSize = 10;
constexpr int kReplyWaitMs = 3000;
// Room for one control-message header and one descriptor: 16 bytes on 32-bit ARM, 24 on a 64-bit
// host.
constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(int));

constexpr char kLogcat[] = "logcat";
constexpr char kPgrepLogcat[] = "busybox pgrep logcat";
constexpr std::size_t kPgrepBlock = 1024;
constexpr std::size_t kTokenMax = 255;

constexpr ssize_t kOpenFailed = -2;
// Logged by each command function under its own name when the channel cannot be opened.
constexpr char kCantExecute[] = "shell command can't excute : %s";

// ---- process-wide state (no lock; see the header) ----

// The control buffer of the reply, created by the first receive and kept for the process's life.
unsigned char* g_controlBuffer = nullptr;

struct LogcatNode {
    int pid;
    LogcatNode* next;
};
// The logcat processes that ran before the current logcat request.
LogcatNode* g_logcatHead = nullptr;

// ---- waits ----

// Waits until sock is readable: timeoutMs -1 without limit, 0 not at all, otherwise at most that
// long. poll takes the place of select so that a socket numbered FD_SETSIZE or above works too.
// @return > 0 readable (or hung up), 0 timed out, -1 error (a time-out below -1 included, as select
//         refuses a negative time value)
int waitReadable(int sock, int timeoutMs) {
    if (timeoutMs < -1) {
        errno = EINVAL;
        return -1;
    }
    struct pollfd entry {};
    entry.fd = sock;
    entry.events = POLLIN;
    int ready = poll(&entry, 1, timeoutMs);
    if (ready > 0 && (entry.revents & POLLNVAL) != 0) {
        errno = EBADF;
        return -1;
    }
    return ready;
}

// ---- logcat tracking ----

void freeLogcatList() {
    while (g_logcatHead != nullptr) {
        LogcatNode* next = g_logcatHead->next;
        VXM_free(g_logcatHead);
        g_logcatHead = next;
    }
}

// Runs "busybox pgrep logcat" and reads one block of its output (at most 1024 bytes) into text,
// which stays terminated. @return false when the listing cannot be started
bool readPgrepLogcat(char (&text)[kPgrepBlock + 1]) {
    std::memset(text, 0, sizeof text);
    FILE* stream = VXM_popen(kPgrepLogcat, nullptr, "r");
    if (stream == nullptr) return false;
    std::size_t got = std::fread(text, 1, kPgrepBlock, stream);
    text[got] = '\0';
    pclose(stream);
    return true;
}

// Cuts text into tokens of at most 255 characters: a token ends at a newline (dropped) or when it
// already holds 255 characters (the character at that point is dropped). An unterminated last line
// never ends. (A class rather than a callback so that every message names its own function.)
class TokenWalk {
public:
    explicit TokenWalk(const char* text) : at_(text) {}
    // The next ended token, or null at the end of the text.
    const char* next() {
        std::memset(token_, 0, sizeof token_);
        std::size_t length = 0;
        for (; *at_ != '\0'; ++at_) {
            if (*at_ == '\n' || length == kTokenMax) {
                ++at_;
                return token_;
            }
            token_[length++] = *at_;
        }
        return nullptr;
    }

private:
    const char* at_;
    char token_[kTokenMax + 1];
};

void VXM_SaveLogcatID(const char* token) {
    auto* node = static_cast<LogcatNode*>(VXM_malloc(sizeof(LogcatNode)));
    if (node == nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kListAllocTag, "VXM_SaveLogcatID malloc fail");
        return;
    }
    node->pid = std::atoi(token);
    node->next = nullptr;
    if (g_logcatHead == nullptr) {
        g_logcatHead = node;
        VXM_LOG(VXM_LOG_INFO, kLogcatTag, "VXM_SaveLogcatID:iLogcatID=%d", node->pid);
        return;
    }
    if (g_logcatHead->pid == node->pid) {  // only the head is compared
        VXM_LOG(VXM_LOG_INFO, kLogcatTag, "VXM_SaveLogcatID:iLogcatID=%d already here", node->pid);
        VXM_free(node);
        return;
    }
    LogcatNode* tail = g_logcatHead;
    while (tail->next != nullptr) tail = tail->next;
    tail->next = node;
    VXM_LOG(VXM_LOG_INFO, kLogcatTag, "VXM_SaveLogcatID:iLogcatID=%d", node->pid);
}

// Records the PIDs of the logcat processes running now (appending to the list).
void VXM_CollectLogcatID() {
    char text[kPgrepBlock + 1];
    if (!readPgrepLogcat(text)) {
        VXM_LOG(VXM_LOG_ERROR, kLogcatTag, "VXM_CollectLogcatID:popen error");
        return;
    }
    TokenWalk walk(text);
    while (const char* token = walk.next()) VXM_SaveLogcatID(token);
    VXM_LOG(VXM_LOG_INFO, kLogcatTag, "VXM_CollectLogcatID:end");
}

// @return the PID of a logcat process running now that the list does not hold, or -1
int VXM_HuntLogcatID() {
    char text[kPgrepBlock + 1];
    if (!readPgrepLogcat(text)) {
        VXM_LOG(VXM_LOG_ERROR, kLogcatTag, "VXM_HuntLogcatID:popen error");
        return -1;
    }
    int nodeCount = 0;
    for (const LogcatNode* node = g_logcatHead; node != nullptr; node = node->next) {
        VXM_LOG(VXM_LOG_INFO, kLogcatTag, "Hunt org LogcatID: szLogcatID[%d]", node->pid);
        ++nodeCount;
    }
    VXM_LOG(VXM_LOG_INFO, kLogcatTag, "Hunt org Num: iLogcatNum[%d]", nodeCount);
    if (nodeCount == 0 || text[0] == '\0') return -1;

    TokenWalk walk(text);
    while (const char* token = walk.next()) {
        const int pid = std::atoi(token);
        VXM_LOG(VXM_LOG_INFO, kLogcatTag, "Hunt start: iLogID[%d]", pid);
        int differing = 0;
        for (const LogcatNode* node = g_logcatHead; node != nullptr; node = node->next)
            if (node->pid != pid) ++differing;
        VXM_LOG(VXM_LOG_INFO, kLogcatTag, "Hunt start Count: iCount[%d]", differing);
        if (differing == nodeCount) {
            VXM_LOG(VXM_LOG_INFO, kLogcatTag, "VXM_HuntLogcatID:iLogcatID=%d", pid);
            return pid;
        }
    }
    return -1;
}

// ---- request and reply ----

// Writes the request in one gathered write. SIGPIPE is blocked in this thread around the write (a
// daemon that hung up gives EPIPE instead of ending the process) and a SIGPIPE raised by it is
// consumed; one that was pending before is left alone.
ssize_t writeRequest(int sock, const struct iovec* pieces, int count) {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t previous;
    const bool blocked = pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous) == 0;
    sigset_t pending;
    sigemptyset(&pending);
    const bool wasPending = blocked && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;

    ssize_t written = writev(sock, pieces, count);
    const int writeErrno = errno;

    if (blocked) {
        if (written < 0 && writeErrno == EPIPE && !wasPending) {
            const struct timespec noWait {};
            while (sigtimedwait(&pipeOnly, nullptr, &noWait) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    errno = writeErrno;
    return written;
}

// The descriptor of a one-descriptor SCM_RIGHTS control message, or -1. Every descriptor that
// arrived is closed except the one returned (when keep is true).
int takeDescriptor(struct msghdr& message, bool keep) {
    int result = -1;
    for (struct cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char* data = CMSG_DATA(header);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, data + i * sizeof(int), sizeof fd);
            if (keep && result < 0) {
                result = fd;
            } else {
                close(fd);
            }
        }
    }
    return result;
}

// Receives the reply on sock. @return the descriptor (0 or more), -status, or -1
int recv_fd(int sock, int* pidOut) {
    int expectedPidLength = 4;
    for (;;) {
        if (g_controlBuffer == nullptr) {
            g_controlBuffer = static_cast<unsigned char*>(VXM_malloc(kControlSize));
            if (g_controlBuffer == nullptr) return -1;
        }
        if (waitReadable(sock, kReplyWaitMs) <= 0) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "C: msg timeout or select error 3s");
            return -1;
        }
        unsigned char status[2] = {};
        unsigned char pid[4] = {};
        struct iovec areas[2];
        areas[0].iov_base = status;
        areas[0].iov_len = sizeof status;
        areas[1].iov_base = pid;
        areas[1].iov_len = sizeof pid;
        std::memset(g_controlBuffer, 0, kControlSize);
        struct msghdr message {};
        message.msg_iov = areas;
        message.msg_iovlen = 2;
        message.msg_control = g_controlBuffer;
        message.msg_controllen = kControlSize;
        // Close-on-exec, so that commands the middleware starts later do not inherit it.
        const ssize_t got = recvmsg(sock, &message, MSG_CMSG_CLOEXEC);
        if (got <= 0) return -1;

        bool accept = false;
        bool formatError = false;
        if (got == 1) {
            // ignored
        } else if (got == 2 || got == 3) {
            expectedPidLength = 0;
            if (status[0] == 0) {
                if (got == 2) accept = true;
                else formatError = true;
            }
        } else if (status[0] == 0) {
            if (got == expectedPidLength || got == expectedPidLength + 2) accept = true;
            else formatError = true;
        }

        if (formatError) {
            takeDescriptor(message, false);
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "message format error");
            return -1;
        }
        if (!accept) {
            takeDescriptor(message, false);  // a descriptor riding on an ignored message
            continue;
        }
        if (status[1] != 0) {
            takeDescriptor(message, false);
            return -static_cast<int>(status[1]);
        }
        const int fd = takeDescriptor(message, true);
        if (fd < 0) {
            // Status 0 without a descriptor is no usable reply.
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "message format error");
            return -1;
        }
        if (pidOut != nullptr) {
            if (expectedPidLength != 0) {
                std::int32_t value;
                std::memcpy(&value, pid, sizeof value);
                *pidOut = value;
            } else {
                *pidOut = -1;
            }
        }
        return fd;
    }
}

// Connects sock to the daemon's socket. @return 0 or -1
int cs_conn(int sock) {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    // At most 107 characters, the rest of the 108-byte field zero.
    std::memcpy(address.sun_path, kSocketPath,
                std::min(sizeof kSocketPath - 1, sizeof address.sun_path - 1));
    static_assert(sizeof(struct sockaddr_un) == 110, "the local address record is 110 bytes");
    if (connect(sock, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) != 0) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "cs_conn failed:errno=%d", errno);
        return -1;
    }
    return 0;
}

bool isWriteEnd(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) == O_WRONLY;
}

// Opens command with mode "r", reads its output once into buffer (up to readMax bytes) and closes
// the channel waiting for the close byte. @return the read's result, or kOpenFailed (the caller
// reports it under its own name)
ssize_t runAndReadOnce(const char* command, char* buffer, std::size_t readMax) {
    int fd = -1;
    VXM_CS_HANDLE* handle = VXM_csopen(command, "r", &fd, nullptr);
    if (handle == nullptr) return kOpenFailed;
    ssize_t got = read(fd, buffer, readMax);
    VXM_csclose(handle, -1);
    return got;
}

}  // namespace

extern "C" {

int cs_open(int sock, const char* command, const char* mode, int* pidOut) {
    if (command == nullptr || mode == nullptr) return -1;
    if (std::strcmp(mode, "r") != 0 && std::strcmp(mode, "w") != 0) return -1;

    char modePiece[kModePieceSize];
    vxm::internal::formatTruncated(modePiece, sizeof modePiece, "#%s", mode);
    const bool logcat = std::strstr(command, kLogcat) != nullptr;
    if (logcat) VXM_CollectLogcatID();

    const std::size_t commandLength = std::strlen(command);
    const std::size_t modeLength = std::strlen(modePiece);
    struct iovec pieces[3];
    pieces[0].iov_base = const_cast<char*>(kRequestHead);
    pieces[0].iov_len = sizeof kRequestHead - 1;
    pieces[1].iov_base = const_cast<char*>(command);
    pieces[1].iov_len = commandLength;
    pieces[2].iov_base = modePiece;
    pieces[2].iov_len = modeLength + 1;  // with its terminator
    const ssize_t written = writeRequest(sock, pieces, 3);
    if (written < 0 ||
        static_cast<std::size_t>(written) != (sizeof kRequestHead - 1) + commandLength + modeLength + 1) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "writev error");
        return -1;  // the saved logcat list stays as it is
    }

    const int result = recv_fd(sock, pidOut);
    if (result < 0 && pidOut != nullptr) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, "recv_fd faild, rcvpid=%d", *pidOut);
        if (logcat) {
            const int hunted = VXM_HuntLogcatID();
            if (hunted != -1) *pidOut = hunted;
        }
    }
    if (logcat) freeLogcatList();
    return result;
}

int cs_close(int sock, int fd, int timeoutMs) {
    // Without both there is no close byte to wait for: the socket is closed, a descriptor stays
    // the caller's.
    if (fd < 0 || sock < 0) {
        if (sock >= 0) close(sock);
        return -1;
    }
    // A write descriptor (mode "w") is closed before the wait: a command that reads its input to
    // the end sees that end only then, and the close byte, its exit status, comes after it.
    if (isWriteEnd(fd)) {
        close(fd);
        fd = -1;
    }
    int result = -1;
    if (waitReadable(sock, timeoutMs) > 0) {
        unsigned char closeByte = 0;
        if (read(sock, &closeByte, 1) < 1) {
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, "C: server failed");
        } else {
            result = closeByte;
        }
    }
    if (fd >= 0) close(fd);
    close(sock);
    return result;
}

VXM_CS_HANDLE* VXM_csopen(const char* command, const char* mode, int* fdOut, int* pidOut) {
    if (command == nullptr || mode == nullptr) return nullptr;
    if (fdOut == nullptr) return nullptr;
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return nullptr;
    if (cs_conn(sock) != 0) {
        close(sock);
        return nullptr;
    }
    const int fd = cs_open(sock, command, mode, pidOut);
    if (fd < 0) {
        close(sock);
        return nullptr;
    }
    auto* handle = static_cast<VXM_CS_HANDLE*>(VXM_malloc(sizeof(VXM_CS_HANDLE)));
    if (handle == nullptr) {
        cs_close(sock, fd, 0);
        return nullptr;
    }
    handle->fd = fd;
    handle->sock = sock;
    handle->ignoreAction.sa_handler = SIG_IGN;
    sigemptyset(&handle->ignoreAction.sa_mask);
    handle->ignoreAction.sa_flags = 0;
    *fdOut = fd;
    sigaction(SIGPIPE, &handle->ignoreAction, &handle->savedAction);
    return handle;
}

int VXM_csclose(VXM_CS_HANDLE* handle, int timeoutMs) {
    if (handle == nullptr) return -1;
    const int result = cs_close(handle->sock, handle->fd, timeoutMs);
    sigaction(SIGPIPE, &handle->savedAction, nullptr);
    VXM_free(handle);
    return result;
}

int VXM_utl_execFind(const char* command, const char* find) {
    if (command == nullptr) return 0;
    char output[4096] = {};
    const ssize_t got = runAndReadOnce(command, output, sizeof output);
    if (got == kOpenFailed) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kCantExecute, command);
        return 0;
    }
    if (got <= 0) return 0;
    if (find == nullptr) return 1;
    output[sizeof output - 1] = '\0';  // at most 4095 bytes are searched
    return std::strstr(output, find) != nullptr ? 1 : 0;
}

int VXM_utl_shellCMD(const char* command) {
    if (command == nullptr) return -1;
    char output[128] = {};
    const ssize_t got = runAndReadOnce(command, output, sizeof output - 1);
    if (got == kOpenFailed) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kCantExecute, command);
        return -1;
    }
    return got >= 1 ? 0 : -1;
}

int VXM_utl_shellFind(const char* command) {
    if (command == nullptr) return 0;
    char output[128] = {};
    const ssize_t got = runAndReadOnce(command, output, sizeof output);
    if (got == kOpenFailed) {
        VXM_LOG(VXM_LOG_ERROR, kModuleTag, kCantExecute, command);
        return 0;
    }
    return got >= 1 ? 1 : 0;
}

}  // extern "C"
