/* The two sizes of the target C library's property header, which cutils/properties.h includes and
 * which a Linux machine's C library lacks. */
#ifndef VXMOSAL_TEST_SYSTEM_PROPERTIES_H
#define VXMOSAL_TEST_SYSTEM_PROPERTIES_H
#define PROP_NAME_MAX 32
#define PROP_VALUE_MAX 92
#endif
