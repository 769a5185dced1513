// Counts heap operations and lock acquisitions made by one chosen thread.
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

} // namespace tarvo::test
