// System properties over the platform's property service.
#include "internal/safe_string.h"
#include "platform/platform.h"
#include "vxmosal/VXM_utility.h"

extern "C" {

int VXM_property_get(const char* key, char* value, unsigned int size) {
    if (key == nullptr || value == nullptr || size == 0) return -1;
    char read[vxm::platform::kPropertyValueMax];
    memset_s(read, sizeof read, 0, sizeof read);
    if (vxm::platform::propertyGet(key, read) <= 0) return -1;
    vxm::internal::copyText(value, size, read, size - 1);  // at most size - 1 characters
    return 0;
}

int VXM_property_set(const char* key, const char* value) {
    return vxm::platform::propertySet(key, value) == 0 ? 0 : -1;
}

}  // extern "C"
