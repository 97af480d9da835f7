// Bounds-checked memory and string functions (safeclib), and the library's truncating format.
#ifndef VXMOSAL_INTERNAL_SAFE_STRING_H
#define VXMOSAL_INTERNAL_SAFE_STRING_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#ifdef __cplusplus
#define restrict __restrict
#endif
#include <safe_mem_lib.h>
#include <safe_str_lib.h>
#undef restrict

namespace vxm::internal {

// Formats into dst (size bytes), truncating beyond size - 1 characters and always terminating.
// safeclib's snprintf_s refuses and clears instead of truncating, which the library's texts (dump
// paths and lines) must not do. Returns the length the full text would have had, or -1.
__attribute__((format(printf, 3, 4))) inline int formatTruncated(char* dst, std::size_t size,
                                                                 const char* format, ...) noexcept {
    if (dst == nullptr || size == 0) return -1;
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(dst, size, format, args);
    va_end(args);
    if (length < 0) dst[0] = '\0';
    return length;
}

// safeclib refuses a destination size above its own maxima (RSIZE_MAX_STR, 32 KiB, for texts;
// RSIZE_MAX_MEM, 256 MiB, for memory) whenever the compiler cannot see the object's size, and then
// copies nothing. The library's interface has no such limit: a text whose destination is sized by
// the text or by the caller is copied with copyText, memory whose size the caller sets with plain
// memcpy once that size has been checked.

// Copies at most count characters of src into dst (size bytes) and terminates the copy, for any
// size. A text that does not fit leaves dst empty, as the bounds-checked copy does.
// Returns 0, or -1 when nothing was copied.
inline int copyText(char* dst, std::size_t size, const char* src, std::size_t count) noexcept {
    if (dst == nullptr || size == 0) return -1;
    const std::size_t length = src != nullptr ? strnlen(src, count) : size;
    if (length >= size) {
        dst[0] = '\0';
        return -1;
    }
    std::memcpy(dst, src, length);
    dst[length] = '\0';
    return 0;
}

}  // namespace vxm::internal

#endif
