// vxm-setprop KEY VALUE: sets one system property of this box.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(
            "usage: vxm-setprop KEY VALUE\n"
            "Sets the property KEY to VALUE (at most 91 bytes). A key is not empty, holds no / and does not\n"
            "start with a dot; a key that starts with ro. cannot be changed once set.\n"
            "  -h, --help  show this help\n"
            "The properties are the files of $VXM_PROPERTY_DIR (default /run/vxmosal/properties).\n",
            stdout);
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: vxm-setprop KEY VALUE\n");
        return 2;
    }
    if (vxm::platform::propertySet(argv[1], argv[2]) != 0) {
        std::fprintf(stderr, "vxm-setprop: could not set [%s] to [%s]\n", argv[1], argv[2]);
        return 1;
    }
    return 0;
}
