/** @defgroup memory Memory and fixed-result entry points (VXM_memory.h)
 *
 * Memory wrappers. Every heap block the library hands out or keeps comes from VXM_malloc (zero-filled)
 * and goes back through VXM_free. Blocks are plain system heap blocks: any of them may be released
 * with VXM_free or free(). None of these functions logs; they keep no state.
 * @{
 */
#ifndef VXMOSAL_VXM_MEMORY_H
#define VXMOSAL_VXM_MEMORY_H

#include <stddef.h>
#include "VXM_types.h"

VXM_BEGIN_DECLS

/** Allocates size zero bytes.
 * @return the block; null when size is 0 (nothing is allocated) or the allocation fails. */
VXM_API void* VXM_malloc(unsigned int size);

/** Grow-only reallocation. When newSize > oldSize: allocates newSize bytes, copies the first oldSize
 * bytes of ptr (when ptr is not null; the bytes past oldSize are not cleared), releases ptr.
 * The old block is released in every case.
 * @return the new block; null when newSize <= oldSize or the allocation fails. */
VXM_API void* VXM_reallocMem(void* ptr, unsigned int newSize, unsigned int oldSize);

/** Releases a block; null is ignored. */
VXM_API void VXM_free(void* ptr);

/** @return a copy of str from the system heap; null when str is null or out of memory. */
VXM_API char* VXM_strdup(const char* str);

/** posix_memalign() passed straight through. @return 0 or the system's error number. */
VXM_API int VXM_posix_memalign(void** memptr, size_t alignment, size_t size);

/** valloc() passed straight through. */
VXM_API void* VXM_valloc(size_t size);

/** Zeroes len bytes through the bounds-checked fill; a length above the fill's own maximum
 * (256 MiB) is zeroed all the same.
 * @retval 0 when ptr is null (nothing is touched) or on success
 * @return otherwise the fill's non-zero status when it refuses the length (len 0) */
VXM_API int VXM_bzero(void* ptr, unsigned int len);

/** Fixed-result entry points: declared by the interface, not implemented by this library. They read no
 * argument and have no effect. */
VXM_API void* VXM_realloc(void* ptr, unsigned int size); /**< always null: use VXM_reallocMem */
VXM_API int VXM_get_diskUsage(void);                     /**< 0 */
VXM_API int VXM_network_setAccessType(void);             /**< 0 */
VXM_API int VXM_bind_core(void);                         /**< 0 */
VXM_API int quro_wifi_restart(void);                     /**< 0 */
VXM_API int quro_wifi_open(void);                        /**< 0 */
VXM_API int VXM_wifi_getConnStatus(void);                /**< -1 */
VXM_API int quro_wifi_getConnStatus(void);               /**< -1 */
VXM_API int quro_wifi_connectToSSID(void);               /**< -1 */
VXM_API int quro_wifi_searchList(void);                  /**< -1 */
VXM_API int quro_wifi_sync_ifrname(void);                /**< -1 */

/** @} */

VXM_END_DECLS

#endif
