// Runs one row of a table test in a forked child of its own, so that a limit, a failing
// allocation or a crash stays there and the library starts afresh each time; the child's verdict
// comes back as its exit status and its standard error.
#ifndef VXMOSAL_TESTS_CHILD_ROWS_H
#define VXMOSAL_TESTS_CHILD_ROWS_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vxmtest {

constexpr int kChildSkips = 77;  // the exit status of a child that cannot run its row here

struct ChildVerdict {
    int status;        // the exit status, or 128 + the signal that ended the child
    std::string text;  // what it wrote on its standard error

    // "" when the child exited 0; otherwise what went wrong ("Alarm clock": it hung).
    std::string problem() const {
        const std::string why = status > 128 ? strsignal(status - 128) : "exit status " + std::to_string(status);
        return status == 0 ? "" : why + ": " + text;
    }
};

// Runs row (which gives the child's exit status) in a child; an alarm ends a child that hangs.
template <typename Row>
ChildVerdict inChild(Row row, unsigned boundSeconds = 60) {
    FILE* report = std::tmpfile();  // a file, so that a child that writes much never blocks
    if (report == nullptr) return {1, "no report file"};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(report), STDERR_FILENO);
        closefrom(STDERR_FILENO + 1);
        alarm(boundSeconds);
        std::exit(row());  // exit, so that a coverage build writes its counts
    }
    ChildVerdict verdict{1, pid < 0 ? "cannot fork" : ""};
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        verdict.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    std::rewind(report);
    for (int c; (c = std::fgetc(report)) != EOF;) verdict.text += static_cast<char>(c);
    std::fclose(report);
    return verdict;
}

}  // namespace vxmtest

#endif
