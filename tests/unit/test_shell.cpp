// The guarded shell: every refused set and its scan order, the exact messages, the permitted sets of
// VXM_popen, that a refused command is really not run, and VXM_close_allfd in a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/files.h"
#include "support/log_capture.h"
#include "vxmosal/VXM_shell.h"

namespace {

using vxmtest::LogCapture;
using vxmtest::logLines;

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

TEST(Guards, EachRefusedCharacterIsNamedInScanOrderAndNotRunOthersRun) {
    vxmtest::TempDir dir;
    const std::string all = "|;&$<>`";
    const char* tails[] = {" | cat", "; true", " && true", " $NO", " < /dev/null", " > /dev/null", " `true`"};
    for (const Guard& guard : kGuards) {
        const bool popen = &guard == &kGuards[2];
        const std::string refused = guard.refused, head = "4 os_utility " + std::string(guard.function) + ": ";
        // Each of the seven in a command that creates a file when the shell runs it; the check runs nothing.
        for (std::size_t i = 0; i < all.size(); ++i) {
            const std::string made = dir.file(guard.function + std::to_string(i));
            const std::string command = "touch '" + made + "'" + tails[i];
            const bool refuses = refused.find(all[i]) != std::string::npos;
            EXPECT_EQ(guard.accepts(command.c_str()), !refuses) << command;
            EXPECT_EQ(access(made.c_str(), F_OK) == 0, &guard != &kGuards[0] && !refuses) << command;
        }
        // The members from the i-th on, last first: the i-th is named.
        for (std::size_t i = 0; i < refused.size(); ++i) {
            const std::string text = "true " + std::string(refused.rbegin(), refused.rend() - i);
            LogCapture log;
            EXPECT_FALSE(guard.accepts(text.c_str())) << text;
            const std::string named = popen ? "popen Command " + text + " Contain " : "System Command Contain ";
            EXPECT_EQ(logLines(log), head + named + refused[i] + "\n");
        }
        LogCapture log;
        EXPECT_TRUE(guard.accepts("true \"a b\" 'c' ? * \n\t ~ # ! ( ) { } [ ] \\ % ^ = + , ."));
        EXPECT_FALSE(guard.accepts(nullptr));
        EXPECT_EQ(logLines(log), head + (popen ? "popen" : "System") + " Command is NULL\n");
    }
}

TEST(Guards, PermittedSetsStatusesAndModes) {
    vxmtest::TempDir dir;
    struct Row { const char* command; const char* permitted; const char* output; const char* named; };
    const Row rows[] = {
        {"echo a > /dev/null; echo b < /dev/null | cat && echo $HOME >/dev/null", "|;&$><", "b\n", nullptr},
        {"true | cat; true", "|$&", "<null>", ";"}};
    for (const Row& row : rows) {
        LogCapture log;
        EXPECT_EQ(drain(VXM_popen(row.command, row.permitted, "r")), row.output) << row.command;
        const std::string named = "4 os_utility VXM_popen: popen Command " + std::string(row.command) + " Contain ";
        EXPECT_EQ(logLines(log), row.named ? named + row.named + "\n" : "");
    }
    LogCapture log;
    EXPECT_EQ(VXM_popen("true", nullptr, nullptr), nullptr);  // silently
    FILE* stream = VXM_popen(("cat > '" + dir.file("w") + "'").c_str(), ">", "w");
    EXPECT_TRUE(stream && std::fputs("fed\n", stream) >= 0 && pclose(stream) == 0);
    EXPECT_EQ(vxmtest::readFile(dir.file("w")), "fed\n");
    // The raw wait status of the shell; VXM_HAL_system scans nothing.
    EXPECT_EQ(VXM_system("exit 5"), 5 << 8);
    EXPECT_EQ(VXM_HAL_system("true; exit 3"), 3 << 8);
    EXPECT_EQ(VXM_HAL_system(nullptr), -1);
    EXPECT_EQ(logLines(log), "4 os_utility VXM_HAL_system: VXM_HAL_system Command is NULL\n");
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

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

}  // namespace
