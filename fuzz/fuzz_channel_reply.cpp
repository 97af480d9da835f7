// The channel's reply and close byte, fed through a socket pair (a first byte with its low bit set
// sends a descriptor with the bytes): a descriptor, -status (1..255) or -1, then the close byte
// (0..255) or -1, and no descriptor left open.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz.h"
#include "vxmosal/VXM_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int probe = dup(0);
    close(probe);
    int pair[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec bytes{const_cast<std::uint8_t*>(data), size};
    msghdr message{};
    message.msg_iov = &bytes;
    message.msg_iovlen = 1;
    const int passed = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (size > 0 && (data[0] & 1) != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passed, sizeof passed);
    }
    if (size > 0) FUZZ_CHECK(sendmsg(pair[1], &message, 0) == static_cast<ssize_t>(size));
    close(passed);
    shutdown(pair[1], SHUT_WR);
    int pid = 0;
    const int fd = cs_open(pair[0], "true", "r", &pid);
    FUZZ_CHECK(fd >= -255);
    const int closeByte = cs_close(pair[0], fd >= 0 ? fd : open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    FUZZ_CHECK(closeByte >= -1 && closeByte <= 255);
    close(pair[1]);
    const int after = dup(0);
    close(after);
    FUZZ_CHECK(after == probe);
    return 0;
}
