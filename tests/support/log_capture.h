// A log sink for tests: records every record the library hands to g_VXMLogCallback, with the
// message formatted from its format and arguments, while an instance is alive.
#ifndef VXMOSAL_TESTS_LOG_CAPTURE_H
#define VXMOSAL_TESTS_LOG_CAPTURE_H

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "vxmosal/VXM_log.h"

namespace vxmtest {

// message: the format applied to the arguments.
struct LogRecord { std::string file; int line; std::string function; int tid, kind, level; std::string module, format, message; };

class LogCapture {
public:
    LogCapture() {
        clear();
        __atomic_store_n(&g_VXMLogCallback, &LogCapture::sink, __ATOMIC_RELAXED);
    }
    ~LogCapture() { __atomic_store_n(&g_VXMLogCallback, VXM_LOG_CALLBACK{nullptr}, __ATOMIC_RELAXED); }
    LogCapture(const LogCapture&) = delete;

    std::vector<LogRecord> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    // Records whose format is exactly the given one.
    std::vector<LogRecord> withFormat(const std::string& format) const {
        std::vector<LogRecord> found;
        for (const auto& record : all()) if (record.format == format) found.push_back(record);
        return found;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }

private:
    static void sink(const char* file, int line, const char* function, int tid, int kind, int level,
                     const char* module, const char* format, ...) {
        char text[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(LogRecord{file, line, function, tid, kind, level, module, format, text});
    }
    static inline std::mutex mutex_;
    static inline std::vector<LogRecord> records_;
};

// The records as text, one a line: "level module function: message", so that a test compares every
// record of a call, in order, in one assertion; only those of the modules named (words) when given.
inline std::string logLines(const LogCapture& log, const std::string& modules = "") {
    std::string text;
    for (const LogRecord& r : log.all())
        if (modules.empty() || (" " + modules + " ").find(" " + r.module + " ") != std::string::npos)
            text += std::to_string(r.level) + " " + r.module + " " + r.function + ": " + r.message + "\n";
    return text;
}

}  // namespace vxmtest

#endif
