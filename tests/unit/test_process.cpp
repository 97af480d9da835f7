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
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_process.h"

extern char** environ;

namespace {

using vxmtest::LogCapture;
using vxmtest::LogRecord;
using vxmtest::TempDir;

// The listing as the box's ps prints it (PID USER VSZ STAT COMMAND; a process without a command
// line shows its name in brackets), restricted to the children of $VXM_PS_PARENT in numeric order,
// followed by the lines of the file $VXM_PS_EXTRA when it is set.
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
exit 0
)";

constexpr char kSleep[] = "/bin/sleep";

template <typename Check>
bool waitFor(Check check, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!check()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

char stateOf(pid_t pid) {
    std::string stat = vxmtest::readFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
}

// A child of the test running sleep under a name of its own (a link to sleep, started with the
// name as its first argument), killed and reaped at the end unless the test reaped it.
class Child {
public:
    Child(const TempDir& dir, const std::string& name, const char* seconds = "30") {
        const std::string path = dir.file(name);
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 && symlink(kSleep, path.c_str()) != 0) return;
        std::vector<char*> argv = {const_cast<char*>(name.c_str()), const_cast<char*>(seconds), nullptr};
        if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
            return;
        }
        // Until the exec the child still carries the test's name, and the new name comes a little
        // before the new command line.
        const std::string proc = "/proc/" + std::to_string(pid_);
        started_ = waitFor([&] {
            return (vxmtest::readFile(proc + "/comm") == name.substr(0, 15) + "\n" &&
                    !vxmtest::readFile(proc + "/cmdline").empty()) ||
                   stateOf(pid_) == 'Z';
        });
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0 && started_; }
    pid_t pid() const { return pid_; }

    // The wait status once the child has ended (reaping it), or -1 while it runs after timeout.
    int reap(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        int status = -1;
        if (waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) {
            reaped_ = true;
            return status;
        }
        return -1;
    }
    bool running() { return !reaped_ && waitpid(pid_, nullptr, WNOHANG) == 0 && stateOf(pid_) != 'Z'; }
    bool becomesZombie() {
        return waitFor([&] { return stateOf(pid_) == 'Z'; });
    }

private:
    pid_t pid_ = -1;
    bool started_ = false;
    bool reaped_ = false;
};

bool killedBySigkill(int status) { return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

void expectRecord(const LogRecord& record, int level, const std::string& function, const std::string& message) {
    EXPECT_EQ(record.level, level) << message;
    EXPECT_EQ(record.module, "os_utility") << message;
    EXPECT_EQ(record.function, function) << message;
    EXPECT_EQ(record.message, message);
}

class Process : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        prefix_ = "vxp" + std::to_string(getpid());
        const std::string ps = dir_.file("ps");
        {
            std::ofstream out(ps);
            out << kPsScript;
        }
        ASSERT_EQ(chmod(ps.c_str(), 0755), 0);
        savedPath_ = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (dir_.path() + ":" + savedPath_).c_str(), 1);
        setenv("VXM_PS_PARENT", std::to_string(getpid()).c_str(), 1);
        unsetenv("VXM_PS_EXTRA");
    }
    void TearDown() override {
        setenv("PATH", savedPath_.c_str(), 1);
        unsetenv("VXM_PS_PARENT");
        unsetenv("VXM_PS_EXTRA");
    }

    std::string name(const std::string& suffix) const { return prefix_ + suffix; }

    TempDir dir_;
    std::string prefix_;
    std::string savedPath_;
};

// ---- VXM_get_exec_pid ----

TEST_F(Process, ExecPidFindsTheLiveProcessOfExactlyThatName) {
    Child child(dir_, name("a"));
    ASSERT_TRUE(child.started());
    LogCapture log;
    const std::string wanted = name("a");
    EXPECT_EQ(VXM_get_exec_pid(wanted.c_str()), child.pid());
    std::vector<LogRecord> records = log.all();
    ASSERT_EQ(records.size(), 2u);
    expectRecord(records[0], VXM_LOG_INFO, "VXM_get_exec_pid", "VXM_get_exec_pid [" + wanted + "]");
    const std::string id = std::to_string(child.pid());
    expectRecord(records[1], VXM_LOG_INFO, "VXM_get_exec_pid",
                 "VXM_get_exec_pid [" + id + "][" + wanted + "][" + id + "]");

    log.clear();
    std::string upper = wanted;
    upper[0] = 'V';
    EXPECT_EQ(VXM_get_exec_pid(upper.c_str()), -1);
    EXPECT_EQ(VXM_get_exec_pid(prefix_.c_str()), -1);  // a prefix of the name is no match
    EXPECT_EQ(VXM_get_exec_pid((wanted + "x").c_str()), -1);
    ASSERT_EQ(log.all().size(), 3u);  // the opening line only, for each
    EXPECT_EQ(log.all()[0].message, "VXM_get_exec_pid [" + upper + "]");
    EXPECT_EQ(VXM_get_exec_pid(nullptr), -1);
}

TEST_F(Process, ExecPidSkipsZombiesAndFindsALaterLiveProcess) {
    Child zombie(dir_, name("z"), "0");
    ASSERT_TRUE(zombie.started());
    ASSERT_TRUE(zombie.becomesZombie());
    EXPECT_EQ(VXM_get_exec_pid(name("z").c_str()), -1);
    Child live(dir_, name("z"));
    ASSERT_TRUE(live.started());
    EXPECT_EQ(VXM_get_exec_pid(name("z").c_str()), live.pid());
    EXPECT_EQ(WEXITSTATUS(zombie.reap()), 0);
}

TEST_F(Process, ExecPidKeepsFifteenCharactersOfAName) {
    const std::string longName = name("longname-of-it");  // more than 15 characters
    ASSERT_GT(longName.size(), 15u);
    Child child(dir_, longName);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(VXM_get_exec_pid(longName.c_str()), -1);
    EXPECT_EQ(VXM_get_exec_pid(longName.substr(0, 15).c_str()), child.pid());
    EXPECT_EQ(VXM_get_exec_pid(longName.substr(0, 14).c_str()), -1);
}

// ---- VXM_os_get_process_name ----

TEST_F(Process, ProcessNameIsTheFirstArgumentCutToTheBuffer) {
    Child child(dir_, name("n"));
    ASSERT_TRUE(child.started());
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(VXM_os_get_process_name(child.pid(), buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, name("n").c_str());  // the arguments after it follow its terminator
    EXPECT_STREQ(buffer + name("n").size() + 1, "30");

    char small[6];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(VXM_os_get_process_name(child.pid(), small, sizeof small), 0);
    EXPECT_EQ(std::string(small), name("n").substr(0, 5));

    char one[1] = {'x'};
    EXPECT_EQ(VXM_os_get_process_name(child.pid(), one, 1), 0);
    EXPECT_EQ(one[0], '\0');
}

TEST_F(Process, ProcessNameOfAnEmptyCommandLineLeavesTheBuffer) {
    Child zombie(dir_, name("e"), "0");
    ASSERT_TRUE(zombie.started());
    ASSERT_TRUE(zombie.becomesZombie());
    char buffer[16];
    std::memset(buffer, 'q', sizeof buffer);
    LogCapture log;
    EXPECT_EQ(VXM_os_get_process_name(zombie.pid(), buffer, sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'q'));
    EXPECT_TRUE(log.all().empty());
}

TEST_F(Process, ProcessNameRefusesBadArgumentsAndMissingProcesses) {
    LogCapture log;
    char buffer[8] = {'k'};
    char expected[128];
    struct Case {
        int pid;
        char* buffer;
        unsigned int length;
    } cases[] = {{0, buffer, 8}, {-3, buffer, 8}, {1, nullptr, 8}, {1, buffer, 0}};
    for (const Case& c : cases) {
        log.clear();
        EXPECT_EQ(VXM_os_get_process_name(c.pid, c.buffer, c.length), -1);
        std::snprintf(expected, sizeof expected, "input param error: pid(%d), buffer(%p), buf_len(%u)", c.pid,
                      static_cast<void*>(c.buffer), c.length);
        ASSERT_EQ(log.all().size(), 1u);
        expectRecord(log.all()[0], VXM_LOG_ERROR, "VXM_os_get_process_name", expected);
    }
    EXPECT_EQ(buffer[0], 'k');

    log.clear();
    // Beyond any kernel's largest process id.
    EXPECT_EQ(VXM_os_get_process_name(2147483647, buffer, sizeof buffer), -1);
    ASSERT_EQ(log.all().size(), 1u);
    expectRecord(log.all()[0], VXM_LOG_ERROR, "VXM_os_get_process_name",
                 "fopen file(/proc/2147483647/cmdline) error");
    EXPECT_EQ(buffer[0], 'k');
}

// ---- VXM_utl_killProcess ----

TEST_F(Process, KillProcessKillsEveryListedLiveMatch) {
    std::vector<std::unique_ptr<Child>> targets;
    for (int i = 0; i < 3; ++i) targets.push_back(std::make_unique<Child>(dir_, name("k")));
    Child zombie(dir_, name("k"), "0");
    Child bystander(dir_, name("b"));
    Child listedAsZombie(dir_, name("c"));
    for (auto& t : targets) ASSERT_TRUE(t->started());
    ASSERT_TRUE(zombie.started());
    ASSERT_TRUE(zombie.becomesZombie());
    ASSERT_TRUE(bystander.started());
    ASSERT_TRUE(listedAsZombie.started());
    // A live process that the listing shows as a matching zombie: it must not be killed.
    const std::string extra = dir_.file("extra");
    {
        std::ofstream out(extra);
        out << listedAsZombie.pid() << " root 1000 Z " << name("k") << "\n";
    }
    setenv("VXM_PS_EXTRA", extra.c_str(), 1);

    LogCapture log;
    // An extended regular expression over the command column ("[vxp...k]" of the zombie matches).
    EXPECT_EQ(VXM_utl_killProcess((prefix_ + "[k]").c_str()), 0);
    for (auto& t : targets) EXPECT_TRUE(killedBySigkill(t->reap())) << t->pid();
    EXPECT_TRUE(bystander.running());
    EXPECT_TRUE(listedAsZombie.running());
    EXPECT_TRUE(WIFEXITED(zombie.reap()));
    EXPECT_TRUE(log.all().empty());
}

TEST_F(Process, KillProcessKillsTheFirstTwentyListed) {
    std::vector<std::unique_ptr<Child>> targets;
    for (int i = 0; i < 22; ++i) {
        targets.push_back(std::make_unique<Child>(dir_, name("t")));
        ASSERT_TRUE(targets.back()->started());
    }
    // The listing is in numeric order of the ids.
    std::sort(targets.begin(), targets.end(), [](const auto& a, const auto& b) { return a->pid() < b->pid(); });
    EXPECT_EQ(VXM_utl_killProcess(name("t").c_str()), 0);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(killedBySigkill(targets[i]->reap())) << i;
    EXPECT_TRUE(targets[20]->running());
    EXPECT_TRUE(targets[21]->running());
}

TEST_F(Process, KillProcessStopsAtARefusedId) {
    Child first(dir_, name("r"));
    Child second(dir_, name("r"));
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(second.started());
    // A listed id that would chain a command; the kills before it stand.
    const std::string extra = dir_.file("extra");
    {
        std::ofstream out(extra);
        out << "1;touch" << " root 1000 S " << name("r") << "\n";
    }
    setenv("VXM_PS_EXTRA", extra.c_str(), 1);
    LogCapture log;
    EXPECT_EQ(VXM_utl_killProcess(name("r").c_str()), -1);
    EXPECT_TRUE(killedBySigkill(first.reap()));
    EXPECT_TRUE(killedBySigkill(second.reap()));
    std::vector<LogRecord> records = log.all();
    ASSERT_EQ(records.size(), 2u);
    expectRecord(records[0], VXM_LOG_ERROR, "VXM_check_inject_str", "System Command Contain ;");
    expectRecord(records[1], VXM_LOG_ERROR, "VXM_utl_killProcess", "System Command para error");
}

TEST_F(Process, KillProcessWithoutAMatchOrWithARefusedPattern) {
    Child bystander(dir_, name("s"));
    ASSERT_TRUE(bystander.started());
    LogCapture log;
    EXPECT_EQ(VXM_utl_killProcess(name("nothing").c_str()), -1);  // the listing prints nothing
    EXPECT_EQ(VXM_utl_killProcess(nullptr), 0);
    EXPECT_TRUE(log.all().empty());

    const std::string refused = name("s") + ";true";
    EXPECT_EQ(VXM_utl_killProcess(refused.c_str()), -1);
    ASSERT_EQ(log.all().size(), 1u);
    expectRecord(log.all()[0], VXM_LOG_ERROR, "VXM_popen",
                 "popen Command ps | awk '$5~/" + refused + "/ && $4 != \"Z\"  {print $1}' Contain ;");
    EXPECT_TRUE(bystander.running());
}

// ---- VXM_utl_get_os_type ----

TEST(OsType, ReleaseClassFromTheBuildProperty) {
    struct Case {
        const char* release;
        int type;
    } cases[] = {{"4.4.2", 4}, {"5.1.1", 5}, {"7.1.2", 0}, {"8.0.0", 8}, {"6.0", 0},
                 {"7.0", 7},   {"14.4", 4},  {"5.1-4.4", 4}, {"9", 0},    {"", 0}};
    for (const Case& c : cases) {
        TempDir dir;
        ASSERT_FALSE(dir.path().empty());
        setenv("VXM_PROPERTY_DIR", dir.path().c_str(), 1);
        {
            std::ofstream out(dir.file("ro.build.version.release"), std::ios::binary);
            out << c.release;
        }
        EXPECT_EQ(VXM_utl_get_os_type(), c.type) << c.release;
    }
    TempDir empty;
    setenv("VXM_PROPERTY_DIR", empty.path().c_str(), 1);
    EXPECT_EQ(VXM_utl_get_os_type(), 0);
    unsetenv("VXM_PROPERTY_DIR");
}

}  // namespace
