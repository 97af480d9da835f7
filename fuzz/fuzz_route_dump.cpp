// The route dump walk, fed datagrams (each a 2-byte length and its bytes) through a socket pair:
// the gateway found is a whole IPv4 address inside its buffer, or the buffer is left alone.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz.h"
#include "network/network_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int pair[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0);
    for (std::size_t at = 0; at + 2 <= size;) {
        const std::size_t length = std::min<std::size_t>(data[at] | data[at + 1] << 8, size - at - 2);
        if (send(pair[1], data + at + 2, length, MSG_DONTWAIT) < 0) break;
        at += 2 + length;
    }
    close(pair[1]);
    Guarded<16> gateway;
    vxm::network::routeDumpGateway(pair[0], "lo", gateway.text, sizeof gateway.text);
    close(pair[0]);
    unsigned char address[4];
    FUZZ_CHECK(gateway.intact());
    FUZZ_CHECK(gateway.text[0] == 'X' || (gateway.terminated() && inet_pton(AF_INET, gateway.text, address) == 1));
    return 0;
}
