// The guarded shell and the process tools that run through it: every refused set and its scan order,
// the exact messages, the permitted sets of VXM_popen, that a refused command is really not run, and
// VXM_close_allfd in a child process; process lookup and control on real processes: sleep children
// under names of the test's own, zombies, the ps listing (first on PATH: the box's layout for this
// test's children only, so that no other process on the machine can match) and real kills.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/wait_until.h"
#include "vxmosal/VXM_process.h"
#include "vxmosal/VXM_shell.h"

namespace {

using namespace std::chrono_literals;
using namespace vxmtest;

// What a stream gives until its end; "<null>" for no stream.
std::string drain(FILE* stream) {
    if (stream == nullptr) return "<null>";
    std::string out;
    for (int c; (c = std::fgetc(stream)) != EOF;) out += static_cast<char>(c);
    pclose(stream);
    return out;
}

struct Guard { const char* function; const char* refused; bool (*accepts)(const char*); };  // refused in scan order

const Guard kGuards[] = {
    {"VXM_check_inject_str", "|;&$<>`", [](const char* c) { return VXM_check_inject_str(c) == 0; }},
    {"VXM_system", "|;&$<", [](const char* c) { return VXM_system(c) != -1; }},
    {"VXM_popen", "|;&$><", [](const char* c) { return drain(VXM_popen(c, nullptr, "r")) != "<null>"; }},
};

TEST(Guards, RefuseInScanOrderRunNothingRefusedAndPermitWhatTheCallerNames) {
    TempDir dir;
    const std::string all = "|;&$<>`";
    const char* tails[] = {" | cat", "; true", " && true", " $NO", " < /dev/null", " > /dev/null", " `true`"};
    for (const Guard& guard : kGuards) {
        const bool popen = &guard == &kGuards[2];
        const std::string refused = guard.refused, head = "4 os_utility " + std::string(guard.function) + ": ";
        // A command that creates a file when the shell runs it, with the characters from the i-th on, last
        // first: the first of them in the set's order is named, and the check runs nothing.
        for (std::size_t i = 0; i < all.size(); ++i) {
            const std::string made = dir.file(guard.function + std::to_string(i)), rest = all.substr(i);
            std::string command = "touch '" + made + "'";
            for (std::size_t j = all.size(); j-- > i;) command += tails[j];
            const auto named = std::find_first_of(refused.begin(), refused.end(), rest.begin(), rest.end());
            const bool refuses = named != refused.end();
            LogCapture log;
            EXPECT_EQ(guard.accepts(command.c_str()), !refuses) << command;
            EXPECT_EQ(access(made.c_str(), F_OK) == 0, &guard != &kGuards[0] && !refuses) << command;
            const std::string text = popen ? "popen Command " + command + " Contain " : "System Command Contain ";
            EXPECT_EQ(logLines(log), refuses ? head + text + *named + "\n" : "") << command;
        }
        EXPECT_TRUE(guard.accepts("true \"a b\" 'c' ? * \n\t ~ # ! ( ) { } [ ] \\ % ^ = + , ."));
        EXPECT_FALSE(guard.accepts(nullptr));
    }
    LogCapture log;
    const char* every = "echo a > /dev/null; echo b < /dev/null | cat && echo $HOME >/dev/null";
    EXPECT_EQ(drain(VXM_popen(every, "|;&$><", "r")), "b\n") << "every member permitted";
    EXPECT_EQ(drain(VXM_popen("true | cat; true", "|$&", "r")), "<null>") << "the one not permitted is named";
    EXPECT_EQ(VXM_popen("true", nullptr, nullptr), nullptr);  // silently
    EXPECT_EQ(logLines(log), "4 os_utility VXM_popen: popen Command true | cat; true Contain ;\n");
    FILE* stream = VXM_popen("test \"$(cat)\" = fed", "$", "w");  // its status says what it was fed
    EXPECT_TRUE(stream && std::fputs("fed\n", stream) >= 0 && pclose(stream) == 0);
    // The raw wait status of the shell; VXM_HAL_system scans nothing.
    EXPECT_EQ(VXM_system("exit 5"), 5 << 8);
    EXPECT_EQ(VXM_HAL_system("true; exit 3"), 3 << 8);
    EXPECT_EQ(VXM_HAL_system(nullptr), -1);
}

// Exit 1: a descriptor left open or closed; 2: a message (the listing's own descriptor closed twice).
TEST(CloseAllFd, ClosesEveryDescriptorAboveTwo) {
    EXPECT_EXIT(
        {
            LogCapture log;
            const int a = open("/dev/null", O_RDONLY);
            if (a < 3 || dup2(a, 200) != 200 || dup2(a, 1000) != 1000) _exit(10);
            close(0);
            VXM_close_allfd();
            if (isOpen(a) || isOpen(200) || isOpen(1000) || isOpen(0) || !isOpen(1) || !isOpen(2)) _exit(1);
            _exit(log.all().empty() ? 0 : 2);
        },
        testing::ExitedWithCode(0), "");
}

// The box's ps layout (PID USER VSZ STAT COMMAND) for the children of $VXM_PS_PARENT in numeric
// order, then the file "extra" beside the script when it is there.
constexpr char kPsScript[] = R"(#!/bin/sh
echo "  PID USER       VSZ STAT COMMAND"
/bin/ps -o pid=,user=,vsz=,stat=,args= --ppid "$VXM_PS_PARENT" --sort pid
cat "${0%/*}/extra" 2>/dev/null
)";

// Each child's state: 'R' running, 'K' ended by SIGKILL, 'E' ended otherwise (a zombie until it is
// reaped).
std::string states(const std::vector<pid_t>& pids) {
    std::string text;
    for (pid_t pid : pids) {
        siginfo_t info{};
        waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        text += info.si_pid == 0 ? 'R' : info.si_code == CLD_KILLED && info.si_status == SIGKILL ? 'K' : 'E';
    }
    return text;
}

class Process : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir_.file("ps")) << kPsScript;
        ASSERT_EQ(chmod(dir_.file("ps").c_str(), 0755), 0);
        setenv("PATH", (dir_.path() + ":/usr/bin:/bin").c_str(), 1);
        setenv("VXM_PS_PARENT", std::to_string(getpid()).c_str(), 1);
    }
    void TearDown() override {
        for (pid_t pid : children_) kill(pid, SIGKILL);  // none is reaped before: the ids are still theirs
        while (waitpid(-1, nullptr, 0) > 0) continue;
    }
    std::string name(const std::string& suffix) const { return "vxp" + std::to_string(getpid()) + suffix; }
    // A child running sleep under the name (a link to sleep started with the name as its first
    // argument), or with "0" seconds a zombie; -1 when it did not come to be.
    pid_t child(const std::string& suffix, const char* seconds = "30") {
        const std::string named = name(suffix), path = dir_.file(named);
        symlink("/bin/sleep", path.c_str());
        const pid_t pid = fork();
        if (pid == 0) _exit(execl(path.c_str(), named.c_str(), seconds, nullptr));
        if (pid < 0) return -1;
        children_.push_back(pid);
        // The command line is the test's own until the exec, empty once the child has ended.
        const std::string argv0 = named + '\0' + seconds + '\0', cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
        const auto ready = [&] { return seconds[0] == '0' ? states({pid}) == "E" : readFile(cmdline) == argv0; };
        return waitUntil(ready, 5s) ? pid : -1;
    }

    TempDir dir_;
    std::vector<pid_t> children_;
};

// Both children carry a name longer than the 15 characters the kernel keeps; the zombie comes first.
TEST_F(Process, ExecPidAndProcessNameOfLiveAndZombieChildren) {
    LogCapture log;
    const pid_t zombie = child("longname-of-it", "0"), live = child("longname-of-it");
    ASSERT_TRUE(zombie > 0 && live > 0);
    const std::string full = name("longname-of-it"), kept = full.substr(0, 15);
    const std::pair<std::string, pid_t> pids[] = {
        {kept, live}, {"V" + kept.substr(1), -1}, {full, -1}, {kept.substr(0, 14), -1}, {"(null)", -1}};
    for (const auto& [wanted, pid] : pids)
        EXPECT_EQ(VXM_get_exec_pid(wanted == "(null)" ? nullptr : wanted.c_str()), pid) << wanted;
    // The buffer, filled with '#' before the call, is shown up to its first '#'; a zombie's command
    // line is empty; the last id is beyond any kernel's largest.
    char buffer[64];
    const struct { int pid; char* buffer; unsigned length; int result; std::string text; } names[] = {
        {live, buffer, sizeof buffer, 0, full + '\0' + "30" + '\0'}, {live, buffer, 6, 0, full.substr(0, 5) + '\0'},
        {live, buffer, 1, 0, std::string(1, '\0')}, {zombie, buffer, 16, 0, ""}, {0, buffer, 8, -1, ""},
        {1, nullptr, 8, -1, ""}, {1, buffer, 0, -1, ""}, {2147483647, buffer, 8, -1, ""}};
    for (const auto& row : names) {
        SCOPED_TRACE(row.pid);
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(VXM_os_get_process_name(row.pid, row.buffer, row.length), row.result);
        EXPECT_EQ(std::string(buffer, std::find(buffer, buffer + sizeof buffer, '#')), row.text);
    }
    const std::vector<LogRecord> failed = log.withFormat("fopen file(%s) error");  // the path made of the last id
    EXPECT_TRUE(failed.size() == 1 && failed[0].message == "fopen file(/proc/2147483647/cmdline) error");
}

// The pattern is an extended regular expression over the command column; the bystander is listed
// once more, as a zombie of the targets' name. A listed id that would chain a command stops the kills,
// those before it standing.
TEST_F(Process, KillProcessKillsTheFirstTwentyListedLiveMatches) {
    std::vector<pid_t> listed;
    for (int i = 0; i < 21; ++i) listed.push_back(child("t"));
    std::sort(listed.begin(), listed.end());
    listed.push_back(child("b"));
    ASSERT_TRUE(std::all_of(listed.begin(), listed.end(), [](pid_t pid) { return pid > 0; }));
    std::ofstream(dir_.file("extra")) << (std::to_string(listed.back()) + " root 1000 Z " + name("t") + "\n");
    LogCapture log;
    EXPECT_EQ(VXM_utl_killProcess((name("") + "[t]").c_str()), 0);
    // A SIGKILL takes a moment to end its target: the states must come, then hold.
    const auto reach = [&](const std::string& want) {
        const auto reached = [&] { return states(listed) == want; };
        return waitUntil(reached, 5s) && !waitUntil([&] { return !reached(); }, 500ms);
    };
    EXPECT_TRUE(reach(std::string(20, 'K') + "RR")) << states(listed);
    std::ofstream(dir_.file("extra")) << ("1;touch root 1000 S " + name("t") + "\n");
    EXPECT_EQ(VXM_utl_killProcess(name("t").c_str()), -1);
    EXPECT_TRUE(reach(std::string(21, 'K') + "R")) << states(listed);
    std::ofstream(dir_.file("extra")) << "";
    EXPECT_EQ(VXM_utl_killProcess(name("t").c_str()), -1) << "the listing prints nothing";
    EXPECT_EQ(VXM_utl_killProcess(nullptr), 0);
    const std::string refused = name("t") + ";true";
    log.clear();  // the listing's command, refused for the pattern's ";"
    EXPECT_EQ(VXM_utl_killProcess(refused.c_str()), -1);
    EXPECT_EQ(logLines(log), "4 os_utility VXM_popen: popen Command ps | awk '$5~/" + refused +
                                 "/ && $4 != \"Z\"  {print $1}' Contain ;\n");
}

}  // namespace
