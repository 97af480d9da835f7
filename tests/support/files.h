// Small file helpers for tests: a temporary directory removed at the end, whole-file reads.
#ifndef VXMOSAL_TESTS_FILES_H
#define VXMOSAL_TESTS_FILES_H

#include <dirent.h>  // kept for the tests that rely on it
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace vxmtest {

class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/vxmtest.XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    // Removes the files in it and the directory itself, nothing deeper (a mount stays untouched).
    ~TempDir() {
        std::error_code ignored;
        if (path_.empty()) return;
        for (const auto& entry : std::filesystem::directory_iterator(path_, ignored))
            std::filesystem::remove(entry.path(), ignored);
        std::filesystem::remove(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string readFile(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

inline std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace vxmtest

#endif
