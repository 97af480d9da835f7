// The library's one exception boundary. Nothing is thrown across the C interface: the few places
// that still grow a standard container (the registries' maps) run that step through noThrow,
// which turns an exception (std::bad_alloc when memory runs out) into the operation's documented
// failure. Everything else below the interface allocates through
// VXM_malloc or not at all, and says so with noexcept.
#ifndef VXMOSAL_INTERNAL_NO_THROW_H
#define VXMOSAL_INTERNAL_NO_THROW_H

namespace vxm::internal {

// Returns body(), or failResult when body throws. The body must not reach a thread cancellation
// point: a cancellation unwinding through here would end the process.
template <typename Result, typename Body>
Result noThrow(Result failResult, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failResult;
    }
}

}  // namespace vxm::internal

#endif
