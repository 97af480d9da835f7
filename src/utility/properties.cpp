// System properties over the platform's property service.
#include <algorithm>

#include "internal/safe_string.h"
#include "platform/platform.h"
#include "vxmosal/VXM_utility.h"

extern "C" {

int VXM_property_get(const char* key, char* value, unsigned int size) {
    if (key == nullptr || value == nullptr || size == 0) return -1;
    char read[vxm::platform::kPropertyValueMax];
    memset_s(read, sizeof read, 0, sizeof read);
    if (vxm::platform::propertyGet(key, read) <= 0) return -1;
    // The count stays inside the source buffer: the bounds-checked copy refuses any larger one.
    const rsize_t length = std::min<rsize_t>(size - 1, strnlen_s(read, sizeof read));
    if (length == 0) {
        value[0] = '\0';
        return 0;
    }
    strncpy_s(value, size, read, length);
    return 0;
}

int VXM_property_set(const char* key, const char* value) {
    return vxm::platform::propertySet(key, value) == 0 ? 0 : -1;
}

}  // extern "C"
