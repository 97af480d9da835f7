// Whether a test runs in the private /tmp that tests/run_in_private_tmp.sh gives it, where it may
// own the channel's fixed socket path /tmp/vxmopend.
#ifndef VXMOSAL_TESTS_PRIVATE_TMP_H
#define VXMOSAL_TESTS_PRIVATE_TMP_H

#include <stdlib.h>
#include <sys/vfs.h>

#include <string>

#ifndef TMPFS_MAGIC
#define TMPFS_MAGIC 0x01021994
#endif

namespace vxmtest {

// Empty inside the launcher's private tmpfs /tmp; otherwise why the test is to be skipped.
inline std::string privateTmpMissing() {
    const char* privateTmp = getenv("VXM_PRIVATE_TMP");
    if (privateTmp == nullptr || std::string(privateTmp) != "1") {
        const char* reason = getenv("VXM_PRIVATE_TMP_REASON");
        return std::string("needs a private /tmp (run through tests/run_in_private_tmp.sh as root): ") +
               (reason != nullptr ? reason : "not started by the launcher");
    }
    struct statfs info {};
    if (statfs("/tmp", &info) != 0 || info.f_type != TMPFS_MAGIC) return "/tmp is not the launcher's private tmpfs";
    return "";
}

}  // namespace vxmtest

#endif
