/* A host program run inside vxmbox: VXM_utl_killProcess(PATTERN) over the box's ps listing.
 * Exits 0 when the call returned 0, else 1. */
#include <stdio.h>

#include "vxmosal/vxmosal.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: kill_matching PATTERN\n", stderr);
        return 2;
    }
    return VXM_utl_killProcess(argv[1]) == 0 ? 0 : 1;
}
