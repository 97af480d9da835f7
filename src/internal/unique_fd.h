// A descriptor owned by one scope: closed when the scope ends, on every path.
#ifndef VXMOSAL_INTERNAL_UNIQUE_FD_H
#define VXMOSAL_INTERNAL_UNIQUE_FD_H

#include <unistd.h>

namespace vxm::internal {

class UniqueFd {
public:
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    bool ok() const noexcept { return fd_ >= 0; }
    int get() const noexcept { return fd_; }
    // Gives the descriptor up to a new owner (fdopendir, say).
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

}  // namespace vxm::internal

#endif
