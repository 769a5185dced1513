// Counts the Win32 calls that make up the pipe loop, through the linker's --wrap of their
// import entries: the calls of every thread but the ones told to be ignored (the test's own).
#pragma once

#include <cstdint>

namespace tarvo::test {

enum KernelCall
{
	kWait, // WaitForMultipleObjects: one per pass of the loop
	kRead,
	kWrite,
	kOtherCall, // events, overlapped results, connecting, disconnecting, cancelling
	kKernelCallKinds
};

struct KernelCalls
{
	uint64_t count[kKernelCallKinds] {};
	uint64_t total () const { return count[kWait] + count[kRead] + count[kWrite] + count[kOtherCall]; }
};

KernelCalls countedKernelCalls ();
void ignoreKernelCallsOfThisThread ();

} // namespace tarvo::test
