// System properties through the platform's property service. The service itself checks keys,
// value lengths and the "ro." rule.
#include <cutils/properties.h>

#include <algorithm>
#include <new>

#include "platform/platform.h"

namespace vxm::platform {

static_assert(PROPERTY_VALUE_MAX == kPropertyValueMax, "the platform's value size is the library's");

int propertyGet(const char* key, char* value) noexcept {
    if (value == nullptr) return 0;
    value[0] = '\0';
    if (key == nullptr) return 0;
    const int length = property_get(key, value, "");
    return length > 0 ? length : 0;
}

int propertySet(const char* key, const char* value) noexcept {
    if (key == nullptr || value == nullptr) return -1;
    return property_set(key, value) == 0 ? 0 : -1;
}

std::vector<std::pair<std::string, std::string>> propertyList() {
    struct Listing {
        std::vector<std::pair<std::string, std::string>> properties;
        bool complete = true;
    } listing;
    // Called from the platform's C code: nothing may be thrown through it.
    property_list(
        [](const char* key, const char* value, void* cookie) {
            auto* into = static_cast<Listing*>(cookie);
            if (!into->complete) return;
            try {
                into->properties.emplace_back(key, value);
            } catch (const std::bad_alloc&) {
                into->complete = false;
            }
        },
        &listing);
    if (!listing.complete) throw std::bad_alloc();
    std::sort(listing.properties.begin(), listing.properties.end());
    return std::move(listing.properties);
}

}  // namespace vxm::platform
