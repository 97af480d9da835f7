// Whether a test runs in a box (vxmbox), whose private /tmp lets it own the channel's fixed socket
// path /tmp/vxmopend.
#ifndef VXMOSAL_TESTS_PRIVATE_TMP_H
#define VXMOSAL_TESTS_PRIVATE_TMP_H

#include <stdlib.h>
#include <sys/vfs.h>

#include <string>

namespace vxmtest {

// Empty inside a box's private tmpfs /tmp; otherwise why the test is to be skipped.
inline std::string privateTmpMissing() {
    struct statfs tmp {};
    const bool boxed = getenv("VXMBOX") != nullptr && statfs("/tmp", &tmp) == 0 && tmp.f_type == 0x01021994;
    return boxed ? "" : "needs a box's private tmpfs /tmp: run as root through vxmbox (CTest does)";
}

}  // namespace vxmtest

#endif
