/* File: VXM_types.h
 *
 * Fixed-width types, export marker and the status codes shared by every family of the library.
 * 32-bit fields are VXM_UINT32/VXM_INT32 on every target; handles are pointer-sized unsigned longs.
 */
#ifndef VXMOSAL_VXM_TYPES_H
#define VXMOSAL_VXM_TYPES_H

#include <stdint.h>

#if defined(__GNUC__)
#define VXM_API __attribute__((visibility("default")))
#else
#define VXM_API
#endif

#ifdef __cplusplus
#define VXM_BEGIN_DECLS extern "C" {
#define VXM_END_DECLS }
#else
#define VXM_BEGIN_DECLS
#define VXM_END_DECLS
#endif

typedef uint32_t VXM_UINT32;
typedef int32_t VXM_INT32;
typedef uint16_t VXM_UINT16;
typedef int16_t VXM_INT16;
typedef uint8_t VXM_UINT8;
typedef int8_t VXM_INT8;
typedef uint64_t VXM_UINT64;
typedef int64_t VXM_INT64;

/* Status codes of the thread, synchronisation and time families. */
#define VXM_SUCCESS 0
#define VXM_FAILURE (-1)
#define VXM_ERR_NULL_HANDLE (-200)   /* null handle */
#define VXM_ERR_SEM_TIMEOUT (-201)   /* semaphore would block, or the time-out passed */
#define VXM_ERR_EVENT_TIMEOUT (-202) /* event wait timed out */

#endif
