// The guarded shell: every refused set and its scan order, the exact messages, the permitted sets of
// VXM_popen, that a refused command is really not run, and VXM_close_allfd in forked children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_shell.h"

namespace {

using vxmtest::LogCapture;
using vxmtest::TempDir;

constexpr char kInjectSet[] = "|;&$<>`";
constexpr char kSystemSet[] = "|;&$<";
constexpr char kPopenSet[] = "|;&$><";

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// A command that creates path when the shell runs it, holding the character c in a harmless place.
std::string creatingCommand(const std::string& path, char c) {
    const std::string touch = "touch '" + path + "'";
    switch (c) {
        case '|': return touch + " | cat";
        case ';': return touch + "; true";
        case '&': return touch + " && true";
        case '$': return touch + " $VXM_TEST_UNSET_NAME";
        case '<': return touch + " < /dev/null";
        case '>': return touch + " > /dev/null";
        case '`': return touch + " `true`";
    }
    return touch;
}

void expectOneRecord(const LogCapture& log, int level, const std::string& function,
                     const std::string& message) {
    auto records = log.all();
    ASSERT_EQ(records.size(), 1u) << message;
    EXPECT_EQ(records[0].level, level);
    EXPECT_EQ(records[0].kind, 1);
    EXPECT_EQ(records[0].module, "os_utility");
    EXPECT_EQ(records[0].function, function);
    EXPECT_EQ(records[0].message, message);
}

std::string readAll(FILE* stream) {
    std::string out;
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) out.append(buffer, n);
    return out;
}

// ---- VXM_check_inject_str ----

TEST(CheckInjectStr, NullIsRefusedWithItsMessage) {
    LogCapture log;
    EXPECT_EQ(VXM_check_inject_str(nullptr), -1);
    expectOneRecord(log, VXM_LOG_ERROR, "VXM_check_inject_str", "System Command is NULL");
    auto records = log.all();
    EXPECT_EQ(records[0].format, "System Command is NULL");
}

TEST(CheckInjectStr, EachOfTheSevenIsRefusedAndNamed) {
    for (const char* c = kInjectSet; *c != '\0'; ++c) {
        LogCapture log;
        std::string text = std::string("ls a") + *c + "b";
        EXPECT_EQ(VXM_check_inject_str(text.c_str()), -1) << text;
        expectOneRecord(log, VXM_LOG_ERROR, "VXM_check_inject_str",
                        std::string("System Command Contain ") + *c);
        EXPECT_EQ(log.all()[0].format, "System Command Contain %c");
    }
}

TEST(CheckInjectStr, OtherCharactersPass) {
    LogCapture log;
    EXPECT_EQ(VXM_check_inject_str("ls -l \"a b\" 'c' ? * \n\t ~ # ! ( ) { } [ ] \\ % ^ = + , ."), 0);
    EXPECT_EQ(VXM_check_inject_str(""), 0);
    EXPECT_TRUE(log.all().empty());
}

TEST(CheckInjectStr, ScanOrderDecidesWhichCharacterIsNamed) {
    // For every pair of members, a text holding the later member first names the earlier member.
    for (size_t i = 0; kInjectSet[i] != '\0'; ++i) {
        for (size_t j = i + 1; kInjectSet[j] != '\0'; ++j) {
            LogCapture log;
            std::string text = std::string("x") + kInjectSet[j] + "y" + kInjectSet[i] + "z";
            EXPECT_EQ(VXM_check_inject_str(text.c_str()), -1);
            expectOneRecord(log, VXM_LOG_ERROR, "VXM_check_inject_str",
                            std::string("System Command Contain ") + kInjectSet[i]);
        }
    }
    LogCapture log;
    EXPECT_EQ(VXM_check_inject_str("cat a > b | c"), -1);
    expectOneRecord(log, VXM_LOG_ERROR, "VXM_check_inject_str", "System Command Contain |");
}

TEST(CheckInjectStr, SilentWithoutASink) {
    EXPECT_EQ(VXM_check_inject_str(nullptr), -1);
    EXPECT_EQ(VXM_check_inject_str("a;b"), -1);
    EXPECT_EQ(VXM_check_inject_str("ab"), 0);
}

// ---- VXM_HAL_system ----

TEST(HalSystem, NullIsRefusedWithItsMessage) {
    LogCapture log;
    EXPECT_EQ(VXM_HAL_system(nullptr), -1);
    expectOneRecord(log, VXM_LOG_ERROR, "VXM_HAL_system", "VXM_HAL_system Command is NULL");
}

TEST(HalSystem, RunsUnscannedAndReturnsTheRawStatus) {
    TempDir dir;
    LogCapture log;
    std::string made = dir.file("made");
    EXPECT_EQ(VXM_HAL_system(creatingCommand(made, ';').c_str()), 0);
    EXPECT_TRUE(exists(made));
    int status = VXM_HAL_system("exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(status, 3 << 8);
    EXPECT_TRUE(log.all().empty());
}

// ---- VXM_system ----

TEST(System, NullIsRefusedWithItsMessage) {
    LogCapture log;
    EXPECT_EQ(VXM_system(nullptr), -1);
    expectOneRecord(log, VXM_LOG_ERROR, "VXM_system", "System Command is NULL");
}

TEST(System, EachOfTheFiveIsRefusedAndNotRun) {
    TempDir dir;
    for (const char* c = kSystemSet; *c != '\0'; ++c) {
        std::string made = dir.file(std::string("made") + std::to_string(c - kSystemSet));
        std::string command = creatingCommand(made, *c);
        LogCapture log;
        EXPECT_EQ(VXM_system(command.c_str()), -1) << command;
        expectOneRecord(log, VXM_LOG_ERROR, "VXM_system", std::string("System Command Contain ") + *c);
        EXPECT_EQ(log.all()[0].format, "System Command Contain %c");
        EXPECT_FALSE(exists(made)) << command << " ran";
    }
}

TEST(System, GreaterThanAndBackquotePassAndRun) {
    TempDir dir;
    LogCapture log;
    for (char c : {'>', '`'}) {
        std::string made = dir.file(std::string("made_") + (c == '>' ? "gt" : "bq"));
        EXPECT_EQ(VXM_system(creatingCommand(made, c).c_str()), 0);
        EXPECT_TRUE(exists(made)) << c;
    }
    // Redirection itself works: the shell writes the file.
    std::string out = dir.file("out");
    EXPECT_EQ(VXM_system(("echo hello > '" + out + "'").c_str()), 0);
    EXPECT_EQ(vxmtest::readFile(out), "hello\n");
    EXPECT_TRUE(log.all().empty());
}

TEST(System, ScanOrderDecidesWhichCharacterIsNamed) {
    for (size_t i = 0; kSystemSet[i] != '\0'; ++i) {
        for (size_t j = i + 1; kSystemSet[j] != '\0'; ++j) {
            LogCapture log;
            std::string text = std::string("true ") + kSystemSet[j] + " " + kSystemSet[i];
            EXPECT_EQ(VXM_system(text.c_str()), -1);
            expectOneRecord(log, VXM_LOG_ERROR, "VXM_system",
                            std::string("System Command Contain ") + kSystemSet[i]);
        }
    }
}

TEST(System, ReturnsTheRawStatusOfTheShell) {
    LogCapture log;
    EXPECT_EQ(VXM_system("exit 5"), 5 << 8);
    EXPECT_EQ(VXM_system("true"), 0);
    // An empty text passes every scan and is handed to the shell, which does nothing.
    EXPECT_EQ(VXM_system(""), 0);
    EXPECT_TRUE(log.all().empty());
}

TEST(System, RefusesTheSameWithoutASink) {
    TempDir dir;
    std::string made = dir.file("made");
    EXPECT_EQ(VXM_system(creatingCommand(made, '|').c_str()), -1);
    EXPECT_FALSE(exists(made));
    EXPECT_EQ(VXM_system(nullptr), -1);
}

// ---- VXM_popen ----

TEST(Popen, NullCommandIsRefusedWithItsMessage) {
    LogCapture log;
    EXPECT_EQ(VXM_popen(nullptr, nullptr, "r"), nullptr);
    expectOneRecord(log, VXM_LOG_ERROR, "VXM_popen", "popen Command is NULL");
}

TEST(Popen, EachOfTheSixIsRefusedNamedWithTheCommandAndNotRun) {
    TempDir dir;
    for (const char* c = kPopenSet; *c != '\0'; ++c) {
        std::string made = dir.file(std::string("made") + std::to_string(c - kPopenSet));
        std::string command = creatingCommand(made, *c);
        LogCapture log;
        EXPECT_EQ(VXM_popen(command.c_str(), nullptr, "r"), nullptr) << command;
        expectOneRecord(log, VXM_LOG_ERROR, "VXM_popen",
                        "popen Command " + command + " Contain " + *c);
        EXPECT_EQ(log.all()[0].format, "popen Command %s Contain %c");
        // An empty permitted set exempts nothing either.
        EXPECT_EQ(VXM_popen(command.c_str(), "", "r"), nullptr);
        EXPECT_FALSE(exists(made)) << command << " ran";
    }
}

TEST(Popen, ScanOrderDecidesWhichCharacterIsNamed) {
    for (size_t i = 0; kPopenSet[i] != '\0'; ++i) {
        for (size_t j = i + 1; kPopenSet[j] != '\0'; ++j) {
            LogCapture log;
            std::string text = std::string("true ") + kPopenSet[j] + " " + kPopenSet[i];
            EXPECT_EQ(VXM_popen(text.c_str(), nullptr, "r"), nullptr);
            expectOneRecord(log, VXM_LOG_ERROR, "VXM_popen",
                            "popen Command " + text + " Contain " + kPopenSet[i]);
        }
    }
    // Greater-than stands before less-than here, unlike VXM_check_inject_str.
    LogCapture log;
    EXPECT_EQ(VXM_popen("cat < a > b", nullptr, "r"), nullptr);
    expectOneRecord(log, VXM_LOG_ERROR, "VXM_popen", "popen Command cat < a > b Contain >");
    log.clear();
    EXPECT_EQ(VXM_check_inject_str("cat < a > b"), -1);
    expectOneRecord(log, VXM_LOG_ERROR, "VXM_check_inject_str", "System Command Contain <");
}

TEST(Popen, PermittedCharactersAreExemptAndRun) {
    LogCapture log;
    FILE* stream = VXM_popen("echo abc | tr a x", "|", "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readAll(stream), "xbc\n");
    EXPECT_EQ(pclose(stream), 0);

    // The process killer's set: vertical bar, dollar sign, ampersand.
    stream = VXM_popen("echo 1 2 | awk '$2 == 2 && $1 == 1 {print $1}'", "|$&", "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readAll(stream), "1\n");
    pclose(stream);

    // The archive extraction's set: semicolon, dollar sign, question mark.
    stream = VXM_popen("true; echo $?", ";$?", "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readAll(stream), "0\n");
    pclose(stream);

    // The network content reader's set: ampersand.
    stream = VXM_popen("true && echo ok", "&", "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readAll(stream), "ok\n");
    pclose(stream);

    // All six permitted.
    stream = VXM_popen("echo a > /dev/null; echo b < /dev/null | cat && echo $HOME >/dev/null", "|;&$><",
                       "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readAll(stream), "b\n");
    pclose(stream);
    EXPECT_TRUE(log.all().empty());
}

TEST(Popen, APermittedSetLiftsOnlyItsOwnCharacters) {
    TempDir dir;
    std::string made = dir.file("made");
    std::string command = "touch '" + made + "' | cat; true";
    LogCapture log;
    EXPECT_EQ(VXM_popen(command.c_str(), "|$&", "r"), nullptr);
    expectOneRecord(log, VXM_LOG_ERROR, "VXM_popen", "popen Command " + command + " Contain ;");
    log.clear();
    // Naming characters outside the set (backquote, letters, '?') has no effect on the members.
    EXPECT_EQ(VXM_popen(command.c_str(), "`?ab", "r"), nullptr);
    expectOneRecord(log, VXM_LOG_ERROR, "VXM_popen", "popen Command " + command + " Contain |");
    EXPECT_FALSE(exists(made));
}

TEST(Popen, BackquotePasses) {
    LogCapture log;
    FILE* stream = VXM_popen("echo `echo hi`", nullptr, "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readAll(stream), "hi\n");
    pclose(stream);
    EXPECT_TRUE(log.all().empty());
}

TEST(Popen, TheModeIsHandedToPopen) {
    TempDir dir;
    std::string out = dir.file("written");
    // Writing needs a redirection, so the greater-than is permitted.
    FILE* stream = VXM_popen(("cat > '" + out + "'").c_str(), ">", "w");
    ASSERT_NE(stream, nullptr);
    std::fputs("fed\n", stream);
    EXPECT_EQ(pclose(stream), 0);
    EXPECT_EQ(vxmtest::readFile(out), "fed\n");
}

TEST(Popen, AFailingPopenGivesNullWithoutAMessage) {
    LogCapture log;
    EXPECT_EQ(VXM_popen("true", nullptr, "x"), nullptr);  // popen refuses the mode
    EXPECT_EQ(VXM_popen("true", nullptr, nullptr), nullptr);
    EXPECT_TRUE(log.all().empty());
}

TEST(Popen, AnEmptyCommandRunsAndPrintsNothing) {
    FILE* stream = VXM_popen("", nullptr, "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readAll(stream), "");
    EXPECT_EQ(pclose(stream), 0);
}

// ---- VXM_close_allfd, each run in a forked child ----

// Runs body in a forked child and returns its exit code (or 100 + signal when it was killed).
template <typename Body>
int inChild(Body body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(CloseAllFd, ClosesEveryDescriptorAboveTwoAndKeepsTheStandardOnes) {
    int code = inChild([] {
        LogCapture log;
        int a = open("/dev/null", O_RDONLY);
        int pipes[2];
        if (a < 3 || pipe(pipes) != 0) return 10;
        if (dup2(a, 200) != 200 || dup2(a, 1000) != 1000) return 11;
        VXM_close_allfd();
        if (isOpen(a) || isOpen(pipes[0]) || isOpen(pipes[1]) || isOpen(200) || isOpen(1000)) return 1;
        if (!isOpen(0) || !isOpen(1) || !isOpen(2)) return 2;
        // The listing's own descriptor was closed with the listing, not twice: no warning.
        if (!log.all().empty()) return 3;
        // Nothing is left above 2: the next descriptor is 3.
        int next = open("/dev/null", O_RDONLY);
        if (next != 3) return 4;
        return 0;
    });
    EXPECT_EQ(code, 0) << "1 a descriptor stayed open, 2 a standard one was closed, 3 a message, "
                          "4 something above 2 is still open";
}

TEST(CloseAllFd, KeepsTheStandardDescriptorsWhenThereIsNothingElse) {
    int code = inChild([] {
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        VXM_close_allfd();
        return (isOpen(0) && isOpen(1) && isOpen(2)) ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

TEST(CloseAllFd, KeepsStandardDescriptorsThatAreClosedClosed) {
    // A process whose standard input is closed: 0 is not reopened, the walk still closes above 2.
    int code = inChild([] {
        int a = open("/dev/null", O_RDONLY);
        if (dup2(a, 50) != 50) return 10;
        close(0);
        VXM_close_allfd();
        if (isOpen(0) || isOpen(50) || isOpen(a)) return 1;
        return (isOpen(1) && isOpen(2)) ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
}

TEST(CloseAllFd, AnUnreadableListingIsReportedAndNothingIsClosed) {
    // In a private mount namespace an empty tmpfs hides /proc, so /proc/<pid>/fd cannot be opened.
    int code = inChild([] {
        if (unshare(CLONE_NEWNS) != 0) return 77;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) return 77;
        LogCapture log;
        int a = open("/dev/null", O_RDONLY);
        if (a < 3) return 10;
        VXM_close_allfd();
        if (!isOpen(a)) return 1;
        auto records = log.all();
        if (records.size() != 1) return 2;
        std::string expected = "can't open /proc/" + std::to_string(getpid()) + "/fd";
        if (records[0].message != expected || records[0].level != VXM_LOG_WARN ||
            records[0].module != "os_utility" || records[0].function != "VXM_close_allfd")
            return 3;
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "no private mount namespace here (needs root and unshare)";
    EXPECT_EQ(code, 0) << "1 closed anyway, 2 not one message, 3 wrong message";
}

}  // namespace
