// Reads the registry dump files back as (key text, time) lines for tests.
#ifndef VXMOSAL_TESTS_REGISTRY_DUMP_H
#define VXMOSAL_TESTS_REGISTRY_DUMP_H

#include <cstdio>
#include <string>
#include <vector>

#include "support/files.h"
#include "vxmosal/VXM_registry.h"

namespace vxmtest {

inline std::vector<std::string> mutexDump(const TempDir& dir) {
    VXM_Mutex_dump(dir.path().c_str());
    return readLines(dir.file("mutexInfo.txt"));
}

inline std::vector<std::string> threadDump(const TempDir& dir) {
    VXM_Thread_dump(dir.path().c_str());
    return readLines(dir.file("threadsInfo.txt"));
}

// The key as the mutex dump prints it (low 32 bits, lower-case hex).
inline std::string mutexKeyText(unsigned long key) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned int>(key));
    return text;
}

inline std::string threadKeyText(unsigned long thread) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned int>(thread));
    return text;
}

// True when some line of the dump names the key, e.g. "pMutex is [b6e01040]".
inline bool dumpNames(const std::vector<std::string>& lines, const std::string& prefix,
                      const std::string& key) {
    const std::string needle = prefix + " is [" + key + "],";
    for (const auto& line : lines)
        if (line.find(needle) != std::string::npos) return true;
    return false;
}

inline bool mutexListed(const TempDir& dir, unsigned long mutex) {
    return dumpNames(mutexDump(dir), "pMutex", mutexKeyText(mutex));
}

inline bool threadListed(const TempDir& dir, unsigned long thread) {
    return dumpNames(threadDump(dir), "pThread", threadKeyText(thread));
}

}  // namespace vxmtest

#endif
