// What the fuzz targets share: a check that stops the run naming itself, an output buffer followed
// by a canary, and the fuzzed text as a kernel file below a directory of the run's own.
#ifndef VXMOSAL_FUZZ_FUZZ_H
#define VXMOSAL_FUZZ_FUZZ_H

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#define FUZZ_CHECK(condition)                                                                 \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "%s:%d: %s does not hold\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// N bytes of output (filled with 'X') and 16 canary bytes right after them in the same object, so
// that a write past N shows even where the sanitizer sees one object.
template <std::size_t N>
struct Guarded {
    char text[N];
    unsigned char canary[16];
    Guarded() { std::memset(text, 'X', N), std::memset(canary, 0xA5, sizeof canary); }
    bool intact() const { return std::count(canary, canary + sizeof canary, 0xA5) == sizeof canary; }
    bool terminated() const { return std::memchr(text, '\0', N) != nullptr; }
};

// Writes data to root/path (directories made once) and returns root, for the statistics' kernel
// path prefix.
inline const char* kernelFile(const char* path, const std::uint8_t* data, std::size_t size) {
    static const std::string root = [] {
        char pattern[] = "/tmp/vxmfuzz.XXXXXX";
        std::string dir = mkdtemp(pattern);
        std::filesystem::create_directories(dir + "/proc/net");
        return dir;
    }();
    FUZZ_CHECK(std::ofstream(root + path, std::ios::binary).write(reinterpret_cast<const char*>(data), size).good());
    return root.c_str();
}

#endif
