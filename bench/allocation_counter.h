// Counts the heap allocations of the whole program: the benchmark binary
// replaces the global operator new and delete with counting versions.
#ifndef BENCH_ALLOCATION_COUNTER_H
#define BENCH_ALLOCATION_COUNTER_H

#include <cstdint>

namespace bench {

// Allocations through operator new since the program started.
uint64_t AllocationCount();

}  // namespace bench

#endif
