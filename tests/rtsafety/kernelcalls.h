// Counts the Win32 calls that make up the pipe loop, per thread, through the linker's
// --wrap of their import entries.
#pragma once

#include <cstdint>

namespace tarvo::test {

enum KernelCall
{
	kWaitForMultipleObjects,
	kWaitForSingleObject,
	kResetEvent,
	kSetEvent,
	kReadFile,
	kWriteFile,
	kGetOverlappedResult,
	kConnectNamedPipe,
	kDisconnectNamedPipe,
	kCancelIoEx,
	kKernelCallKinds
};

struct KernelCalls
{
	uint64_t count[kKernelCallKinds] {};
	uint64_t total () const;
	KernelCalls operator- (const KernelCalls& earlier) const;
};

/** Calls of every thread but the ones told to be ignored (the test's own). */
KernelCalls countedKernelCalls ();
void ignoreKernelCallsOfThisThread ();

} // namespace tarvo::test
