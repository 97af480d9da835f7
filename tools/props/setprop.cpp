// vxm-setprop KEY VALUE: sets one system property of this box.
#include <cstdio>

#include "platform/platform.h"

int main(int argc, char** argv) {
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
