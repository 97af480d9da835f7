// The platform's release and its class, whether the open daemon answers a round trip on its
// socket, and this program found in the process table by name.
#include <unistd.h>

#include <cstring>
#include <string>

#include "sections.h"
#include "vxmosal/vxmosal.h"

namespace vxmdiag {
namespace {

constexpr char kReleaseKey[] = "ro.build.version.release";
constexpr char kDaemonSocket[] = "/tmp/vxmopend";
constexpr char kProbeCommand[] = "echo ok";
constexpr int kCloseWaitMs = 3000;

// One channel round trip: the command's output, its id and the daemon's close byte.
Value daemonProbe() {
    Value daemon = Value::object();
    daemon.add("socket", Value::text(kDaemonSocket)).add("command", Value::text(kProbeCommand));
    int fd = -1;
    int pid = -1;
    VXM_CS_HANDLE* handle = VXM_csopen(kProbeCommand, "r", &fd, &pid);
    if (handle == nullptr) {
        daemon.add("answers", Value::failure("VXM_csopen failed: no daemon answering on the socket"));
        return daemon;
    }
    std::string output;
    char chunk[128];
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0 && output.size() < 1024;)
        output.append(chunk, static_cast<std::size_t>(got));
    const int closeByte = VXM_csclose(handle, kCloseWaitMs);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    daemon.add("answers", Value::text(output == "ok" ? "yes" : "with unexpected output"));
    daemon.add("output", Value::text(output)).add("command_pid", Value::integer(pid));
    daemon.add("close_byte", closeByte >= 0 ? Value::integer(closeByte)
                                            : Value::failure("VXM_csclose returned -1"));
    return daemon;
}

Value ownProcess() {
    Value process = Value::object();
    char name[128] = {};
    if (VXM_os_get_process_name(static_cast<int>(getpid()), name, sizeof name) != 0) {
        process.add("name", Value::failure("VXM_os_get_process_name returned -1"));
        return process;
    }
    process.add("name", Value::text(name));
    // The process table holds at most 15 characters of a name, without its directories.
    const char* base = std::strrchr(name, '/');
    const std::string command = std::string(base != nullptr ? base + 1 : name).substr(0, 15);
    const int found = VXM_get_exec_pid(command.c_str());
    process.add("pid", Value::integer(getpid()));
    process.add("found_by_name", found > 0 ? Value::integer(found)
                                           : Value::failure("VXM_get_exec_pid found no " + command));
    return process;
}

}  // namespace

Value systemSection() {
    Value section = Value::object();
    char release[VXM_PROPERTY_VALUE_MAX] = {};
    if (VXM_property_get(kReleaseKey, release, sizeof release) == 0)
        section.add(kReleaseKey, Value::text(release));
    else
        section.add(kReleaseKey, Value::failure("VXM_property_get: unset or empty"));
    // 0 for a release of no class the library knows (4, 5, 7, 8) and when the property is unset.
    section.add("android_release_class", Value::integer(VXM_utl_get_os_type()));
    section.add("open_daemon", daemonProbe());
    section.add("process", ownProcess());
    return section;
}

}  // namespace vxmdiag
