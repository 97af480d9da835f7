// The one logging statement form and the two check patterns every module uses.
#ifndef VXMOSAL_INTERNAL_LOG_H
#define VXMOSAL_INTERNAL_LOG_H

#include <cstddef>

#include "vxmosal/VXM_log.h"

// Reads the sink once; when it is null nothing else is evaluated (no thread id, no arguments).
// __FILE__ is the module's path relative to the source root (the build maps the prefix away).
#define VXM_LOG(level, module, ...)                                                              \
    do {                                                                                         \
        VXM_LOG_CALLBACK vxmSink_ = __atomic_load_n(&g_VXMLogCallback, __ATOMIC_RELAXED);        \
        if (vxmSink_ != nullptr)                                                                 \
            vxmSink_(__FILE__, __LINE__, __func__, VXM_thread_gettid(), 1, (level), (module),    \
                     __VA_ARGS__);                                                               \
    } while (0)

namespace vxm::internal {

// An expression text used as a format with no arguments: every '%' is doubled so that a sink that
// formats the record prints the text as written instead of reading arguments that are not there.
template <std::size_t N>
struct CheckText {
    char text[2 * N];
};

template <std::size_t N>
constexpr CheckText<N> escapePercent(const char (&source)[N]) {
    CheckText<N> out{};
    std::size_t j = 0;
    for (std::size_t i = 0; i + 1 < N; ++i) {
        out.text[j++] = source[i];
        if (source[i] == '%') out.text[j++] = '%';
    }
    out.text[j] = '\0';
    return out;
}

}  // namespace vxm::internal

// Fails the enclosing function with failResult when expr is false, logging the expression's text
// followed by " not true. " at level 4 under the module's tag (kModuleTag in the including file).
#define VXM_CHECK(expr, failResult)                                                             \
    do {                                                                                        \
        if (!(expr)) {                                                                          \
            static constexpr auto vxmCheckText_ =                                               \
                ::vxm::internal::escapePercent(#expr " not true. ");                            \
            VXM_LOG(VXM_LOG_ERROR, kModuleTag, vxmCheckText_.text);                             \
            return failResult;                                                                  \
        }                                                                                       \
    } while (0)

// Returns -1 from the enclosing function when the pointer parameter is null.
#define VXM_CHECK_PARAM(param)                                                                  \
    do {                                                                                        \
        if ((param) == nullptr) {                                                               \
            VXM_LOG(VXM_LOG_ERROR, "common", "Entrance parameter %s is NULL\n", #param);        \
            return -1;                                                                          \
        }                                                                                       \
    } while (0)

#endif
