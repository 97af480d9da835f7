// Bounds-checked memory and string functions (safeclib), and the library's truncating format.
#ifndef VXMOSAL_INTERNAL_SAFE_STRING_H
#define VXMOSAL_INTERNAL_SAFE_STRING_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>

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

}  // namespace vxm::internal

#endif
