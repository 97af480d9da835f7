// The deadline arithmetic of an event wait, kept apart so that it can be checked on its own.
#ifndef VXMOSAL_VXM_EVENT_H
#define VXMOSAL_VXM_EVENT_H

#include <sys/time.h>
#include <time.h>

namespace vxm {

// The absolute real-time deadline timeoutMs milliseconds after now (signed arithmetic; negative
// time-outs are outside the contract).
inline timespec eventDeadline(const timeval& now, int timeoutMs) {
    constexpr long kNsPerSecond = 1000000000L;
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + timeoutMs / 1000;
    deadline.tv_nsec = (static_cast<long>(now.tv_usec) + (timeoutMs % 1000) * 1000L) * 1000L;
    if (deadline.tv_nsec >= kNsPerSecond) {
        deadline.tv_nsec -= kNsPerSecond;
        deadline.tv_sec += 1;
    }
    return deadline;
}

}  // namespace vxm

#endif
