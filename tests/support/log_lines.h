// The records of a LogCapture as text, one a line: "level module function: message", so that a
// test compares every record of a call, in order, in one assertion.
#ifndef VXMOSAL_TESTS_LOG_LINES_H
#define VXMOSAL_TESTS_LOG_LINES_H

#include <string>

#include "support/log_capture.h"

namespace vxmtest {

// Only the records whose module is one of the words of modules, when it is given.
inline std::string logLines(const LogCapture& log, const std::string& modules = "") {
    std::string text;
    for (const LogRecord& r : log.all())
        if (modules.empty() || (" " + modules + " ").find(" " + r.module + " ") != std::string::npos)
            text += std::to_string(r.level) + " " + r.module + " " + r.function + ": " + r.message + "\n";
    return text;
}

}  // namespace vxmtest

#endif
