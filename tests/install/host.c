/* A C99 host built against an installed copy of the library: prints a few known results. */
#include <stdio.h>

#include <vxmosal/vxmosal.h>

int main(void) {
    char text[] = "a,b,,c";
    char* tokens[8];
    char* copy;
    int count;

    printf("version %s\n", VXMOSAL_VERSION);
    printf("valid 192.168.1.1 %d\n", VXM_isValidIPAddr("192.168.1.1"));
    printf("valid 300.1.1.1 %d\n", VXM_isValidIPAddr("300.1.1.1"));
    printf("valid fe80::1 %d\n", VXM_isValidIPAddr("fe80::1"));
    count = VXM_utl_split(text, ",", tokens, 8);
    printf("split %d %s %s %s\n", count, count > 0 ? tokens[0] : "-", count > 1 ? tokens[1] : "-",
           count > 2 ? tokens[2] : "-");
    copy = VXM_dup_string("installed");
    printf("dup %s\n", copy != NULL ? copy : "(null)");
    VXM_free(copy);
    return 0;
}
