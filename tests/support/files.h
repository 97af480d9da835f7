// Small file helpers for tests: a temporary directory removed at the end, whole-file reads, and
// what /proc tells of a process (its threads by name, its open descriptors).
#ifndef VXMOSAL_TESTS_FILES_H
#define VXMOSAL_TESTS_FILES_H

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vxmtest {

// A fresh directory below $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/vxmtest.XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole file, or what could be read of it: a file that cannot be opened reads as empty, and
// one whose read fails (the comm file of a thread that has just ended) reads as what came before.
inline std::string readFile(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
    close(fd);
    return text;
}

// The kernel ids of this process's threads named name (without the line feed of their comm file).
inline std::vector<int> threadsNamed(const std::string& name) {
    std::vector<int> ids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        if (readFile(task.path() / "comm") == name + "\n") ids.push_back(std::stoi(task.path().filename().string()));
    return ids;
}

// How many descriptors process pid (by default this one) has open.
inline long openDescriptors(pid_t pid = 0) {
    const std::string dir = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/fd";
    return static_cast<long>(std::distance(std::filesystem::directory_iterator(dir), {}));
}
inline bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

inline std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace vxmtest

#endif
