// Process lookup and control on real processes: sleep children under names of the test's own,
// zombies, the ps listing (a script first on PATH that prints the box's layout for this test's
// children only, so that no other process on the machine can match) and real kills, and the
// release class read from a private property directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/opend_daemon.h"
#include "vxmosal/VXM_process.h"

extern char** environ;

namespace {

using vxmtest::LogCapture;
using vxmtest::logLines;
using vxmtest::readFile;

// The box's ps layout (PID USER VSZ STAT COMMAND; no command line shows the name in brackets) for
// the children of $VXM_PS_PARENT in numeric order, then the file $VXM_PS_EXTRA when it is set.
constexpr char kPsScript[] = R"(#!/bin/sh
echo "  PID USER       VSZ STAT COMMAND"
for pid in $(ls /proc | grep -E '^[0-9]+$' | sort -n); do
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || continue
  rest=${stat##*) }
  set -- $rest
  [ "$2" = "$VXM_PS_PARENT" ] || continue
  command=$(tr '\000' ' ' < "/proc/$pid/cmdline" 2>/dev/null)
  if [ -z "$command" ]; then name=${stat#*(}; command="[${name%%)*}]"; fi
  printf '%5s %-8s %6s %-4s %s\n' "$pid" root 1000 "$1" "$command"
done
if [ -n "${VXM_PS_EXTRA:-}" ]; then cat "$VXM_PS_EXTRA"; fi
)";

template <typename Check>
bool waitFor(Check check) { return vxmtest::waitUntil(check, std::chrono::seconds(5)); }

char stateOf(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
}

// A child running sleep under a name of its own (a link to sleep started with the name as its first
// argument); "0" seconds makes a zombie. Killed and reaped at the end unless reaped before.
class Child {
public:
    Child(const vxmtest::TempDir& dir, const std::string& name, const char* seconds = "30") {
        const std::string path = dir.file(name), proc = "/proc/";
        symlink("/bin/sleep", path.c_str());
        std::vector<char*> argv = {const_cast<char*>(name.c_str()), const_cast<char*>(seconds), nullptr};
        if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
        // Until the exec it carries the test's name; the new name comes a little before the command line.
        started_ = pid_ > 0 && waitFor([&] {
            if (seconds[0] == '0') return stateOf(pid_) == 'Z';
            return readFile(proc + std::to_string(pid_) + "/comm") == name.substr(0, 15) + "\n" &&
                   !readFile(proc + std::to_string(pid_) + "/cmdline").empty();
        });
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    }
    bool started() const { return started_; }
    pid_t pid() const { return pid_; }
    bool killed() {  // by SIGKILL, reaping it
        int status = 0;
        reaped_ = waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
        return reaped_ && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    bool running() { return !reaped_ && waitpid(pid_, nullptr, WNOHANG) == 0 && stateOf(pid_) != 'Z'; }

private:
    pid_t pid_ = -1;
    bool started_ = false, reaped_ = false;
};

class Process : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        std::ofstream(dir_.file("ps")) << kPsScript;
        ASSERT_EQ(chmod(dir_.file("ps").c_str(), 0755), 0);
        savedPath_ = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (dir_.path() + ":" + savedPath_).c_str(), 1);
        setenv("VXM_PS_PARENT", std::to_string(getpid()).c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", savedPath_.c_str(), 1);
        unsetenv("VXM_PS_EXTRA");
    }
    std::string name(const std::string& suffix) const { return "vxp" + std::to_string(getpid()) + suffix; }
    void listAlso(const std::string& line) {
        std::ofstream(dir_.file("extra")) << line;
        setenv("VXM_PS_EXTRA", dir_.file("extra").c_str(), 1);
    }

    vxmtest::TempDir dir_;
    std::string savedPath_;
};

TEST_F(Process, ExecPidFindsTheFirstLiveProcessOfExactlyThatName) {
    Child zombie(dir_, name("a"), "0"), live(dir_, name("a")), longer(dir_, name("longname-of-it"));
    ASSERT_TRUE(zombie.started() && live.started() && longer.started());
    std::string upper = name("a");
    upper[0] = 'V';
    const std::pair<std::string, pid_t> rows[] = {
        {name("a"), live.pid()}, {upper, -1}, {name("ax"), -1}, {name("longname-of-it"), -1},
        {name("longname-of-it").substr(0, 15), longer.pid()}, {name("longname-of-it").substr(0, 14), -1}};
    for (const auto& [wanted, pid] : rows) {
        LogCapture log;
        EXPECT_EQ(VXM_get_exec_pid(wanted.c_str()), pid) << wanted;
        const std::string id = std::to_string(pid), head = "2 os_utility VXM_get_exec_pid: VXM_get_exec_pid [";
        const std::string found = pid > 0 ? head + id + "][" + wanted + "][" + id + "]\n" : "";
        EXPECT_EQ(logLines(log), head + wanted + "]\n" + found);
    }
    EXPECT_EQ(VXM_get_exec_pid(nullptr), -1);  // without a sink, then with one
    LogCapture log;
    EXPECT_EQ(VXM_get_exec_pid(nullptr), -1);
    EXPECT_EQ(logLines(log), "2 os_utility VXM_get_exec_pid: VXM_get_exec_pid [(null)]\n");
}

TEST_F(Process, ProcessNameIsTheFirstArgumentCutToTheBuffer) {
    Child child(dir_, name("n")), zombie(dir_, name("e"), "0");
    ASSERT_TRUE(child.started() && zombie.started());
    char buffer[64];
    const std::string error = "4 os_utility VXM_os_get_process_name: ";
    auto param = [&](int pid, const char* at, unsigned length) {
        char text[128];
        std::snprintf(text, sizeof text, "input param error: pid(%d), buffer(%p), buf_len(%u)\n", pid,
                      static_cast<const void*>(at), length);
        return error + text;
    };
    // The buffer, filled with '#' before the call, is shown up to its first '#'; a zombie's command
    // line is empty; the last id is beyond any kernel's largest.
    const struct { int pid; char* buffer; unsigned length; int result; std::string text, log; } rows[] = {
        {child.pid(), buffer, sizeof buffer, 0, name("n") + '\0' + "30" + '\0', ""},
        {child.pid(), buffer, 6, 0, name("n").substr(0, 5) + '\0', ""},
        {child.pid(), buffer, 1, 0, std::string(1, '\0'), ""},
        {zombie.pid(), buffer, 16, 0, "", ""},
        {0, buffer, 8, -1, "", param(0, buffer, 8)},
        {-3, buffer, 8, -1, "", param(-3, buffer, 8)},
        {1, nullptr, 8, -1, "", param(1, nullptr, 8)},
        {1, buffer, 0, -1, "", param(1, buffer, 0)},
        {2147483647, buffer, 8, -1, "", error + "fopen file(/proc/2147483647/cmdline) error\n"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pid);
        std::memset(buffer, '#', sizeof buffer);
        LogCapture log;
        EXPECT_EQ(VXM_os_get_process_name(row.pid, row.buffer, row.length), row.result);
        EXPECT_EQ(std::string(buffer, std::find(buffer, buffer + sizeof buffer, '#')), row.text);
        EXPECT_EQ(logLines(log), row.log);
    }
}

TEST_F(Process, KillProcessKillsTheFirstTwentyListedLiveMatches) {
    std::vector<std::unique_ptr<Child>> targets;
    for (int i = 0; i < 21; ++i) targets.push_back(std::make_unique<Child>(dir_, name("t")));
    ASSERT_TRUE(std::all_of(targets.begin(), targets.end(), [](const auto& child) { return child->started(); }));
    std::sort(targets.begin(), targets.end(), [](const auto& a, const auto& b) { return a->pid() < b->pid(); });
    Child bystander(dir_, name("b")), listedAsZombie(dir_, name("c"));
    ASSERT_TRUE(bystander.started() && listedAsZombie.started());
    listAlso(std::to_string(listedAsZombie.pid()) + " root 1000 Z " + name("t") + "\n");
    LogCapture log;
    // The pattern is an extended regular expression over the command column.
    EXPECT_EQ(VXM_utl_killProcess((name("") + "[t]").c_str()), 0);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(targets[i]->killed()) << i;
    EXPECT_TRUE(targets[20]->running() && bystander.running() && listedAsZombie.running());
    EXPECT_EQ(logLines(log), "");
    // A listed id that would chain a command stops the kills; those before it stand.
    listAlso("1;touch root 1000 S " + name("t") + "\n");
    EXPECT_EQ(VXM_utl_killProcess(name("t").c_str()), -1);
    EXPECT_TRUE(targets[20]->killed());
    unsetenv("VXM_PS_EXTRA");
    EXPECT_EQ(VXM_utl_killProcess(name("t").c_str()), -1) << "the listing prints nothing";
    EXPECT_EQ(VXM_utl_killProcess(nullptr), 0);
    const std::string refused = name("b") + ";true";
    EXPECT_EQ(VXM_utl_killProcess(refused.c_str()), -1);
    EXPECT_EQ(logLines(log), "4 os_utility VXM_check_inject_str: System Command Contain ;\n"
                             "4 os_utility VXM_utl_killProcess: System Command para error\n"
                             "4 os_utility VXM_popen: popen Command ps | awk '$5~/" + refused +
                                 "/ && $4 != \"Z\"  {print $1}' Contain ;\n");
    EXPECT_TRUE(bystander.running());
}

TEST(OsType, ReleaseClassFromTheBuildProperty) {
    vxmtest::TempDir dir;
    setenv("VXM_PROPERTY_DIR", dir.path().c_str(), 1);
    const std::pair<const char*, int> rows[] = {{nullptr, 0}, {"4.4.2", 4}, {"5.1.1", 5}, {"7.1.2", 0}, {"8.0.0", 8},
                                                {"6.0", 0}, {"7.0", 7}, {"14.4", 4}, {"5.1-4.4", 4}, {"9", 0}, {"", 0}};
    for (const auto& [release, type] : rows) {
        if (release) std::ofstream(dir.file("ro.build.version.release"), std::ios::binary) << release;
        EXPECT_EQ(VXM_utl_get_os_type(), type) << (release ? release : "unset");
    }
    unsetenv("VXM_PROPERTY_DIR");
}

}  // namespace
