// Reads the registry dump files back for tests.
#ifndef VXMOSAL_TESTS_REGISTRY_DUMP_H
#define VXMOSAL_TESTS_REGISTRY_DUMP_H

#include <cstdio>
#include <string>
#include <vector>

#include "support/files.h"
#include "vxmosal/VXM_registry.h"

namespace vxmtest {

constexpr char kMutexKey[] = "pMutex is [%x],", kThreadKey[] = "pThread is [0x%08x],";

// The lines of the mutex (or, with thread, the thread) dump, written into a directory of its own.
inline std::vector<std::string> registryDump(bool thread) {
    TempDir dir;
    (thread ? VXM_Thread_dump : VXM_Mutex_dump)(dir.path().c_str());
    return readLines(dir.file(thread ? "threadsInfo.txt" : "mutexInfo.txt"));
}

// The line that names the key as the pattern prints it (low 32 bits), or "".
inline std::string lineOf(const std::vector<std::string>& lines, const char* pattern, unsigned long key) {
    char needle[48];
    std::snprintf(needle, sizeof needle, pattern, static_cast<unsigned int>(key));
    for (const auto& line : lines) if (line.find(needle) != std::string::npos) return line;
    return "";
}
// Whether the mutex (or, with thread, the thread) dump lists the key.
inline bool listed(bool thread, unsigned long key) {
    return !lineOf(registryDump(thread), thread ? kThreadKey : kMutexKey, key).empty();
}

}  // namespace vxmtest

#endif
