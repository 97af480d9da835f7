// An allocation-failure seam for a test program built from the library's own objects: once armed
// with k, the k-th allocation fails (null, or std::bad_alloc from a throwing operator new), as the
// real call fails when memory runs out. It counts the library's calls of malloc (the program is
// linked with --wrap=malloc, so the C library's own calls are not seen)
// and every operator new made while armed (the library's, and the C++ library's on its behalf).
#ifndef VXMOSAL_TESTS_ALLOC_SEAM_H
#define VXMOSAL_TESTS_ALLOC_SEAM_H

namespace vxmtest::seam {

// Starts counting from 0; the k-th allocation from now on fails (k >= 1).
void arm(unsigned long k);
// Stops counting and failing; returns the allocations counted since arm, the failed one included.
unsigned long disarm();

}  // namespace vxmtest::seam

#endif
