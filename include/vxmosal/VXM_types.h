/** @defgroup types Types and status codes (VXM_types.h)
 *
 * Fixed-width types, export marker and the status codes shared by every family of the library.
 * 32-bit fields are VXM_UINT32/VXM_INT32 on every target; handles are pointer-sized unsigned longs.
 * @{
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

typedef uint32_t VXM_UINT32; /**< 32 bits, unsigned, on every target */
typedef int32_t VXM_INT32;   /**< 32 bits, signed, on every target */
typedef uint16_t VXM_UINT16; /**< 16 bits, unsigned, on every target */
typedef int16_t VXM_INT16;   /**< 16 bits, signed, on every target */
typedef uint8_t VXM_UINT8; /**< 8 bits, unsigned, on every target */
typedef int8_t VXM_INT8;   /**< 8 bits, signed, on every target */
typedef uint64_t VXM_UINT64; /**< 64 bits, unsigned, on every target */
typedef int64_t VXM_INT64;   /**< 64 bits, signed, on every target */

/* Status codes of the thread, synchronisation and time families. */
#define VXM_SUCCESS 0                /**< success */
#define VXM_FAILURE (-1)             /**< failure */
#define VXM_ERR_NULL_HANDLE (-200)   /**< null handle */
#define VXM_ERR_SEM_TIMEOUT (-201)   /**< semaphore would block, or the time-out passed */
#define VXM_ERR_EVENT_TIMEOUT (-202) /**< event wait timed out */

/** @} */

#endif
