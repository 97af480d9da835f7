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
    if (getenv("VXMBOX") == nullptr) return "needs a box: run as root through vxmbox (CTest does)";
    if (statfs("/tmp", &tmp) != 0 || tmp.f_type != 0x01021994) return "/tmp is not the box's private tmpfs";
    return "";
}

}  // namespace vxmtest

#endif
