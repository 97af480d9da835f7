#include "log_sink.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "vxmosal/vxmosal.h"

namespace {

// Written once before the sink is installed, read only afterwards.
int g_minLevel = VXM_LOG_INFO;

const char* levelName(int level) {
    switch (level) {
        case VXM_LOG_DEBUG: return "DEBUG";
        case VXM_LOG_INFO: return "INFO";
        case VXM_LOG_WARN: return "WARN";
        case VXM_LOG_ERROR: return "ERROR";
        default: return nullptr;
    }
}

const char* orNone(const char* s) { return s != nullptr ? s : "?"; }

}  // namespace

extern "C" {

// Called from any library thread; one fprintf per record keeps lines from different threads whole.
static void vxmdiagLogSink(const char* file, int line, const char* function, int tid, int /*kind*/,
                           int level, const char* module, const char* format, ...) {
    if (level < g_minLevel) return;

    char small[512];
    std::vector<char> large;
    char* message = small;
    if (format == nullptr) {
        std::snprintf(small, sizeof small, "(no message)");
    } else {
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        int needed = std::vsnprintf(small, sizeof small, format, args);
        va_end(args);
        if (needed < 0) {
            std::snprintf(small, sizeof small, "(unformattable message: %s)", format);
        } else if (static_cast<std::size_t>(needed) >= sizeof small) {
            large.resize(static_cast<std::size_t>(needed) + 1);
            std::vsnprintf(large.data(), large.size(), format, again);
            message = large.data();
        }
        va_end(again);
    }
    std::size_t length = std::strlen(message);
    if (length > 0 && message[length - 1] == '\n') message[--length] = '\0';

    const char* name = levelName(level);
    char levelText[16];
    if (name == nullptr) {
        std::snprintf(levelText, sizeof levelText, "%d", level);
        name = levelText;
    }
    std::fprintf(stderr, "[%s] %s %s:%d %s %d: %s\n", name, orNone(module), orNone(file), line,
                 orNone(function), tid, message);
}

}  // extern "C"

namespace vxmdiag {

void installLogSink(int minLevel) {
    g_minLevel = minLevel;
    g_VXMLogCallback = vxmdiagLogSink;
}

}  // namespace vxmdiag
