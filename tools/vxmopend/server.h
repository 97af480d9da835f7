// The daemon's loop: one thread polls the listening socket, every client, every relay pipe and a
// signal descriptor, so that no client can hold up another.
#ifndef VXMOPEND_SERVER_H
#define VXMOPEND_SERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace vxmopend {

struct Options {
    std::string socketPath = "/tmp/vxmopend";
    std::vector<uid_t> allowedUids;  // besides the daemon's own uid
};

// Serves until SIGTERM or SIGINT; returns the process exit status. The socket file exists
// (mode 0660) while it serves and is removed before it returns.
int serve(const Options& options);

}  // namespace vxmopend

#endif
