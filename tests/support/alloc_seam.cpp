// The allocation seam of alloc_seam.h. The C family is reached through the linker's --wrap (each
// __wrap_NAME stands in for NAME in the program's own objects, __real_NAME is the C library's or
// the sanitizer's); operator new is replaced for the whole process and forwards to the next
// definition (the C++ library's, or the sanitizer's, which keeps new and delete paired).
#include "support/alloc_seam.h"

#include <dlfcn.h>
#include <errno.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <type_traits>

namespace {

std::atomic<unsigned long> g_failAt{0};  // 0: not armed
std::atomic<unsigned long> g_count{0};

// Counts one allocation while armed; true for the one that is to fail.
bool failsNow() {
    const unsigned long failAt = g_failAt.load(std::memory_order_acquire);
    return failAt != 0 && g_count.fetch_add(1, std::memory_order_relaxed) + 1 == failAt;
}

// size_t is mangled "m" where it is unsigned long (x86_64), "j" where it is unsigned int (32-bit ARM).
void* nextDefinition(const char* unsignedLong, const char* unsignedInt) {
    const char* name = std::is_same_v<std::size_t, unsigned long> ? unsignedLong : unsignedInt;
    void* fn = dlsym(RTLD_NEXT, name);
    if (fn == nullptr) {
        std::fprintf(stderr, "alloc_seam: no %s after the seam\n", name);
        std::abort();
    }
    return fn;
}

}  // namespace

namespace vxmtest::seam {

void arm(unsigned long k) {
    g_count.store(0, std::memory_order_relaxed);
    g_failAt.store(k, std::memory_order_release);
}

unsigned long disarm() {
    g_failAt.store(0, std::memory_order_release);
    return g_count.load(std::memory_order_relaxed);
}

}  // namespace vxmtest::seam

// Each wrapped C function fails with ENOMEM (posix_memalign returns it) when its turn comes; a
// failed reallocation leaves the block as it was.
#define VXM_SEAM_WRAP(type, name, failed, params, args) \
    type __real_##name params;                          \
    type __wrap_##name params {                         \
        if (!failsNow()) return __real_##name args;     \
        errno = ENOMEM;                                 \
        return failed;                                  \
    }

extern "C" {
VXM_SEAM_WRAP(void*, malloc, nullptr, (std::size_t size), (size))
VXM_SEAM_WRAP(void*, calloc, nullptr, (std::size_t count, std::size_t size), (count, size))
VXM_SEAM_WRAP(void*, realloc, nullptr, (void* block, std::size_t size), (block, size))
VXM_SEAM_WRAP(int, posix_memalign, ENOMEM, (void** block, std::size_t alignment, std::size_t size), (block, alignment, size))
VXM_SEAM_WRAP(void*, aligned_alloc, nullptr, (std::size_t alignment, std::size_t size), (alignment, size))
VXM_SEAM_WRAP(void*, valloc, nullptr, (std::size_t size), (size))
VXM_SEAM_WRAP(char*, strdup, nullptr, (const char* text), (text))
VXM_SEAM_WRAP(char*, strndup, nullptr, (const char* text, std::size_t size), (text, size))
}  // extern "C"

// Every form of operator new: the throwing ones throw std::bad_alloc when their turn comes, the
// nothrow ones return null, as the real ones do when memory runs out.
#define VXM_SEAM_NEW(op, names, params, args, onFailure, ...)                                        \
    void* operator op params __VA_ARGS__ {                                                          \
        static const auto next = reinterpret_cast<void* (*) params>(nextDefinition names);         \
        if (failsNow()) onFailure;                                                                 \
        return next args;                                                                          \
    }
#define VXM_NOTHROW_T const std::nothrow_t& tag
VXM_SEAM_NEW(new, ("_Znwm", "_Znwj"), (std::size_t size), (size), throw std::bad_alloc())
VXM_SEAM_NEW(new[], ("_Znam", "_Znaj"), (std::size_t size), (size), throw std::bad_alloc())
VXM_SEAM_NEW(new, ("_ZnwmSt11align_val_t", "_ZnwjSt11align_val_t"), (std::size_t size, std::align_val_t align),
             (size, align), throw std::bad_alloc())
VXM_SEAM_NEW(new[], ("_ZnamSt11align_val_t", "_ZnajSt11align_val_t"), (std::size_t size, std::align_val_t align),
             (size, align), throw std::bad_alloc())
VXM_SEAM_NEW(new, ("_ZnwmRKSt9nothrow_t", "_ZnwjRKSt9nothrow_t"), (std::size_t size, VXM_NOTHROW_T), (size, tag), return nullptr, noexcept)
VXM_SEAM_NEW(new[], ("_ZnamRKSt9nothrow_t", "_ZnajRKSt9nothrow_t"), (std::size_t size, VXM_NOTHROW_T),
             (size, tag), return nullptr, noexcept)
VXM_SEAM_NEW(new, ("_ZnwmSt11align_val_tRKSt9nothrow_t", "_ZnwjSt11align_val_tRKSt9nothrow_t"),
             (std::size_t size, std::align_val_t align, VXM_NOTHROW_T), (size, align, tag), return nullptr, noexcept)
VXM_SEAM_NEW(new[], ("_ZnamSt11align_val_tRKSt9nothrow_t", "_ZnajSt11align_val_tRKSt9nothrow_t"),
             (std::size_t size, std::align_val_t align, VXM_NOTHROW_T), (size, align, tag), return nullptr, noexcept)
