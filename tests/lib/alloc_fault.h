#ifndef TORPOR_TESTS_ALLOC_FAULT_H
#define TORPOR_TESTS_ALLOC_FAULT_H

// The heap calls of the code under test, failed and counted. A test executable
// that uses this links with --wrap for malloc, calloc, realloc and free, so
// every call of them from the library (and from the test's own objects) passes here;
// calls from within the shared C and C++ runtimes do not.
//
// Between watch() and stop() the test itself should not touch the heap.

#include <cstddef>
#include <vector>

namespace alloc_fault {

// Starts watching: the fail_at-th call of malloc, calloc or realloc from now on fails
// with ENOMEM (0: none fails), and blocks made and released are noted.
void watch(int fail_at = 0);

// Stops watching; the notes stay for the calls below.
void stop();

// Calls of malloc, calloc and realloc seen while watching, the failed one included.
int calls();

// Blocks made while watching and not released since.
std::vector<void *> outstanding();

// Blocks released while watching, in order.
std::vector<void *> released();

} // namespace alloc_fault

#endif
