// Counts heap operations and lock acquisitions made by one chosen thread, and can make
// its allocations fail.
#pragma once

#include <cstdint>

namespace tarvo::test {

struct AudioThreadCounts
{
	uint64_t allocations {0};
	uint64_t frees {0};
	uint64_t locks {0};
};

/** Counting applies to the calling thread, between begin and end. */
void beginCountingOnThisThread ();
void endCounting ();
AudioThreadCounts audioThreadCounts ();

/** On the counted thread, the allocation after the next `granted` ones fails (malloc
    returns null, operator new throws std::bad_alloc); failedAllocations tells whether
    it came. */
void failAllocationAfter (uint64_t granted);
uint64_t failedAllocations ();

} // namespace tarvo::test
