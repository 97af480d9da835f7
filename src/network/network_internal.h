// What the files of the network module share: the default card record, its field-by-field access
// (the record is plain process-wide data read and written without a lock), the readers and the
// privileged command step.
#ifndef VXMOSAL_NETWORK_NETWORK_INTERNAL_H
#define VXMOSAL_NETWORK_NETWORK_INTERNAL_H

#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "internal/unique_fd.h"
#include "vxmosal/VXM_network.h"

namespace vxm::network {

constexpr char kModuleTag[] = "NETWORK";
constexpr std::size_t kNameMax = VXM_NETWORK_NAME_SIZE - 1;
constexpr std::size_t kContentSize = 1024;  // the readers' buffers

// The library's default card record.
VXM_NETWORK_CARD_INFO& defaultCard() noexcept;

// A copy of *card, or of the default record when card is null.
VXM_NETWORK_CARD_INFO snapshot(const VXM_NETWORK_CARD_INFO* card) noexcept;

// Clears dst and copies at most 15 characters of src into it, one relaxed store per byte.
void storeName(char (&dst)[VXM_NETWORK_NAME_SIZE], const char* src) noexcept;
void storeWord(VXM_UINT32& dst, VXM_UINT32 value) noexcept;

// The module's connection type (VXM_CONN_TYPE_*), as VXM_network_setConnType stored it.
VXM_INT32 connectionType() noexcept;

// A throw-away IPv4 datagram socket for interface requests, closed on every path.
class RequestSocket : public vxm::internal::UniqueFd {
public:
    RequestSocket() noexcept : UniqueFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
};

// A zeroed interface request carrying at most 15 characters of name.
inline ifreq interfaceRequest(const char* name) noexcept {
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::memcpy(request.ifr_name, name, strnlen(name, kNameMax));
    return request;
}

enum class FlagRead { Ok, EmptyName, NoSocket, RequestFailed };

// The interface flags of name (SIOCGIFFLAGS); errno tells why when it fails.
FlagRead readFlags(const char* name, short& flags) noexcept;

// Sets *state to 2 when flag is set on the interface name and 1 when not, or to 0 after logging
// why it could not be read: "Invaild param,ifrname empty.", "create socket error, errno:%d." and,
// when reportRequestFailure, "ioctl error, errno:%d." (level 4; errno is kept for the caller).
FlagRead flagState(const char* name, short flag, int* state, bool reportRequestFailure) noexcept;

// Writes the first address of name in the kernel's IPv6 address table (/proc/net/if_inet6 lines)
// that does not begin "fe80" or "FE80" into buffer as eight colon-separated groups, cut to length.
// Returns 0, or -1 after logging "find ipv6 addr failed!!".
int parse_inet_file(std::FILE* file, const char* name, char* buffer, int length) noexcept;

// Reads a route dump from sock (netlink datagrams, all of them in one 8192-byte buffer) and writes
// the gateway of name's last IPv4 default route of the main table into buffer, cut to length (left
// as it is when there is none). False when the dump cannot be read or memory is short.
bool routeDumpGateway(int sock, const char* name, char* buffer, int length) noexcept;

}  // namespace vxm::network

// Readers (they report under these names). Each buffer is kContentSize bytes that the caller has
// zeroed; a failure leaves it, or the number, as described beside each.
// The start of the file, at most 1023 bytes (the rest stays zero).
void VXM_network_get_content(const char* path, char* buffer) noexcept;
// atol of the file's text as a 32-bit value, sign-extended; 0 for a missing file.
void VXM_network_get_content_int(const char* path, std::int64_t* out) noexcept;
// The rest of the first output line of command that holds key (its line feed included), copied
// without a terminator; untouched when no line holds it or the command cannot run.
void VXM_network_popen_get_content(const char* command, const char* key, char* buffer) noexcept;
// atoi of what VXM_network_popen_get_content finds; 0 when nothing is found.
void VXM_network_popen_get_int(const char* command, const char* key, int* out) noexcept;
// Has the open daemon run command, ignoring its output. Returns 0, or -1 ("null pointer" for a
// null command, "VXM_csopen exec [%s] faild" when the channel does not open). The channel is closed
// with closeWaitMs as its wait for the command's end (0: not waited for; the daemon gives a deserted
// command a second to finish).
int actShellCmd(const char* command, int closeWaitMs = 0) noexcept;
// The Internet checksum of length bytes, words read in the processor's own order, so that the
// result stored the same way puts the right bytes on the wire. A null buffer gives 0xFFFF
// ("param error!", level 4).
std::uint16_t VXM_network_checksum(const void* buffer, std::size_t length) noexcept;

#endif
