// Platform services the library needs, one small file per service and platform beside this header;
// the build picks the set with VXM_PLATFORM. "linux" (clock_posix, priority_posix, properties) stands
// in for the target's services on any Linux machine; "android" (*_android) calls the target's own:
// systemTime, androidSetThreadPriority, property_get/property_set/property_list.
#ifndef VXMOSAL_PLATFORM_PLATFORM_H
#define VXMOSAL_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vxm::platform {

enum class Clock { Monotonic, RealTime };

// Nanoseconds of the given clock.
std::int64_t systemTime(Clock clock) noexcept;

// Runs thread tid (0: the calling thread) at the given nice value. Returns 0 or -1.
int setThreadPriority(int tid, int nice) noexcept;

// System properties. The linux stand-in keeps one file per property in the directory
// $VXM_PROPERTY_DIR (or /run/vxmosal/properties when it is unset or empty), named as the key,
// holding exactly the value. Writes go to a temporary file in the same directory and are renamed
// into place. The library's calls take no memory: they cannot fail for want of it.
constexpr std::size_t kPropertyValueMax = 92;  // value bytes plus the terminator

// Reads the property into value (kPropertyValueMax bytes, terminated). Returns the value's length;
// 0 (value empty) when the property is unset or the key is not valid.
int propertyGet(const char* key, char* value) noexcept;

// Sets the property. Returns 0, or -1 for an invalid key (empty, holding '/', starting with '.'),
// a value of kPropertyValueMax bytes or more, an "ro." key that is already set, or a failed write.
int propertySet(const char* key, const char* value) noexcept;

// Every property as (key, value), sorted by key (for the tools; the library does not list them).
std::vector<std::pair<std::string, std::string>> propertyList();

}  // namespace vxm::platform

#endif
