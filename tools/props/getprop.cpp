// vxm-getprop: prints the system properties of this box.
//   vxm-getprop                 every property, one "[key]: [value]" line each, sorted by key
//   vxm-getprop KEY [DEFAULT]   the value of KEY (DEFAULT, or nothing, when it is unset), one line
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(
            "usage: vxm-getprop [KEY [DEFAULT]]\n"
            "Without KEY, prints every property as [key]: [value], sorted by key; with KEY, prints its\n"
            "value, or DEFAULT (else an empty line) when it is unset.\n"
            "  -h, --help  show this help\n"
            "The properties are the files of $VXM_PROPERTY_DIR (default /run/vxmosal/properties).\n",
            stdout);
        return 0;
    }
    if (argc > 3) {
        std::fprintf(stderr, "usage: vxm-getprop [KEY [DEFAULT]]\n");
        return 2;
    }
    if (argc == 1) {
        for (const auto& property : vxm::platform::propertyList())
            std::printf("[%s]: [%s]\n", property.first.c_str(), property.second.c_str());
        return 0;
    }
    char value[vxm::platform::kPropertyValueMax];
    if (vxm::platform::propertyGet(argv[1], value) > 0)
        std::printf("%s\n", value);
    else
        std::printf("%s\n", argc == 3 ? argv[2] : "");
    return 0;
}
