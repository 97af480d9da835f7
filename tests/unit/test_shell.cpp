// The guarded shell: every refused set and its scan order, the exact messages, the permitted sets of
// VXM_popen, that a refused command is really not run, and VXM_close_allfd in forked children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_shell.h"

namespace {

using vxmtest::LogCapture;
using vxmtest::logLines;

// What a stream gives until its end; null for no stream.
std::string drain(FILE* stream) {
    if (stream == nullptr) return "<null>";
    std::string out;
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) out.append(buffer, n);
    pclose(stream);
    return out;
}

struct Guard {
    const char* function;
    const char* refused;  // in scan order
    std::function<bool(const char*)> accepts;
    std::function<std::string(const std::string&, char)> message;
};

const Guard kGuards[] = {
    {"VXM_check_inject_str", "|;&$<>`", [](const char* c) { return VXM_check_inject_str(c) == 0; },
     [](const std::string&, char c) { return std::string("System Command Contain ") + c; }},
    {"VXM_system", "|;&$<", [](const char* c) { return VXM_system(c) != -1; },
     [](const std::string&, char c) { return std::string("System Command Contain ") + c; }},
    {"VXM_popen", "|;&$><", [](const char* c) { return drain(VXM_popen(c, nullptr, "r")) != "<null>"; },
     [](const std::string& command, char c) { return "popen Command " + command + " Contain " + c; }},
};

TEST(Guards, EachRefusedCharacterIsNamedAndNotRunOthersRun) {
    vxmtest::TempDir dir;
    int n = 0;
    for (const Guard& guard : kGuards) {
        // Each of the seven in a command that creates a file when the shell runs it.
        for (char c : std::string("|;&$<>`")) {
            const std::string made = dir.file(std::to_string(++n)), touch = "touch '" + made + "'";
            const char* tails[] = {" | cat", "; true", " && true", " $NO", " < /dev/null", " > /dev/null", " `true`"};
            const std::string command = touch + tails[std::string("|;&$<>`").find(c)];
            SCOPED_TRACE(std::string(guard.function) + ": " + command);
            const bool refused = std::string(guard.refused).find(c) != std::string::npos;
            LogCapture log;
            EXPECT_EQ(guard.accepts(command.c_str()), !refused);
            const std::string head = "4 os_utility " + std::string(guard.function) + ": ";
            EXPECT_EQ(logLines(log), refused ? head + guard.message(command, c) + "\n" : "");
            const bool runs = guard.function != std::string("VXM_check_inject_str") && !refused;
            EXPECT_EQ(access(made.c_str(), F_OK) == 0, runs);
        }
        // For every pair of members, a text holding the later member first names the earlier one.
        for (size_t i = 0; guard.refused[i] != '\0'; ++i)
            for (size_t j = i + 1; guard.refused[j] != '\0'; ++j) {
                const std::string text = std::string("true ") + guard.refused[j] + " " + guard.refused[i];
                LogCapture log;
                EXPECT_FALSE(guard.accepts(text.c_str()));
                const std::string head = "4 os_utility " + std::string(guard.function) + ": ";
                EXPECT_EQ(logLines(log), head + guard.message(text, guard.refused[i]) + "\n");
            }
        LogCapture log;
        EXPECT_TRUE(guard.accepts("true \"a b\" 'c' ? * \n\t ~ # ! ( ) { } [ ] \\ % ^ = + , ."));
        EXPECT_TRUE(guard.accepts("")) << "an empty command passes every scan and goes to the shell";
        EXPECT_FALSE(guard.accepts(nullptr));
        const bool popen = guard.function == std::string("VXM_popen");
        EXPECT_EQ(logLines(log), std::string("4 os_utility ") + guard.function + (popen ? ": popen" : ": System") +
                                     " Command is NULL\n");
    }
}

TEST(Guards, PermittedSetsStatusesAndModes) {
    vxmtest::TempDir dir;
    struct Row { const char* command; const char* permitted; const char* output; const char* named; };
    const Row rows[] = {
        {"echo abc | tr a x", "|", "xbc\n", nullptr},
        {"echo 1 2 | awk '$2 == 2 && $1 == 1 {print $1}'", "|$&", "1\n", nullptr},  // the process killer's set
        {"true; echo $?", ";$?", "0\n", nullptr},                                   // the archive extraction's
        {"true && echo ok", "&", "ok\n", nullptr},                                  // the network reader's
        {"echo a > /dev/null; echo b < /dev/null | cat && echo $HOME >/dev/null", "|;&$><", "b\n", nullptr},
        {"echo `echo hi`", nullptr, "hi\n", nullptr},
        {"true | cat; true", "|$&", "<null>", ";"},
        {"true | cat", "", "<null>", "|"},
    };
    for (const Row& row : rows) {
        LogCapture log;
        EXPECT_EQ(drain(VXM_popen(row.command, row.permitted, "r")), row.output) << row.command;
        const std::string named = "4 os_utility VXM_popen: popen Command " + std::string(row.command) + " Contain ";
        EXPECT_EQ(logLines(log), row.named ? named + row.named + "\n" : "");
    }
    LogCapture log;
    EXPECT_EQ(VXM_popen("true", nullptr, "x"), nullptr);  // popen refuses the mode, silently
    EXPECT_EQ(VXM_popen("true", nullptr, nullptr), nullptr);
    FILE* stream = VXM_popen(("cat > '" + dir.file("w") + "'").c_str(), ">", "w");
    EXPECT_TRUE(stream && std::fputs("fed\n", stream) >= 0 && pclose(stream) == 0);
    EXPECT_EQ(vxmtest::readFile(dir.file("w")), "fed\n");
    // The raw wait status of the shell; VXM_HAL_system scans nothing.
    EXPECT_EQ(VXM_system("exit 5"), 5 << 8);
    EXPECT_EQ(VXM_HAL_system("exit 3"), 3 << 8);
    EXPECT_EQ(VXM_HAL_system(("touch '" + dir.file("h") + "'; exit 0").c_str()), 0);
    EXPECT_EQ(access(dir.file("h").c_str(), F_OK), 0);
    EXPECT_EQ(VXM_HAL_system(nullptr), -1);
    EXPECT_EQ(logLines(log), "4 os_utility VXM_HAL_system: VXM_HAL_system Command is NULL\n");
}

TEST(Guards, RefuseTheSameWithoutASink) {
    EXPECT_EQ(VXM_check_inject_str(nullptr) + VXM_check_inject_str("a;b"), -2);
    EXPECT_EQ(VXM_system(nullptr) + VXM_system("a|b"), -2);
    EXPECT_EQ(VXM_popen(nullptr, nullptr, "r"), VXM_popen("a|b", nullptr, "r"));
}

// Runs body in a forked child and returns its exit code.
int inChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(CloseAllFd, ClosesEveryDescriptorAboveTwo) {
    EXPECT_EQ(0, inChild([] {
        LogCapture log;
        int pipes[2];
        const int a = open("/dev/null", O_RDONLY);
        if (a < 3 || pipe(pipes) != 0 || dup2(a, 200) != 200 || dup2(a, 1000) != 1000) return 10;
        close(0);
        VXM_close_allfd();
        if (isOpen(a) || isOpen(pipes[0]) || isOpen(pipes[1]) || isOpen(200) || isOpen(1000)) return 1;
        if (isOpen(0) || !isOpen(1) || !isOpen(2)) return 2;
        if (!log.all().empty()) return 3;  // the listing's own descriptor was not closed twice
        return open("/dev/null", O_RDONLY) == 0 && open("/dev/null", O_RDONLY) == 3 ? 0 : 4;
    })) << "1 a descriptor stayed open, 2 a standard one changed, 3 a message, 4 something is left above 2";
}

TEST(CloseAllFd, AnUnreadableListingIsReportedAndNothingIsClosed) {
    // In a private mount namespace an empty tmpfs hides /proc, so /proc/<pid>/fd cannot be opened.
    const int code = inChild([] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0)
            return 77;
        LogCapture log;
        const int a = open("/dev/null", O_RDONLY);
        VXM_close_allfd();
        if (!isOpen(a)) return 1;
        const std::string expected = "3 os_utility VXM_close_allfd: can't open /proc/" + std::to_string(getpid());
        return logLines(log) == expected + "/fd\n" ? 0 : 2;
    });
    if (code == 77) GTEST_SKIP() << "no private mount namespace here (needs root and unshare)";
    EXPECT_EQ(code, 0) << "1 closed anyway, 2 not the one message";
}

}  // namespace
