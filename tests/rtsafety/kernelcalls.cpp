#include "kernelcalls.h"

#include <windows.h>

#include <atomic>

namespace tarvo::test {
namespace {

std::atomic<uint64_t> calls[kKernelCallKinds];
std::atomic<DWORD> ignored[8];

void count (int kind)
{
	const DWORD self = GetCurrentThreadId ();
	for (const auto& thread : ignored)
		if (thread.load (std::memory_order_relaxed) == self)
			return;
	calls[kind].fetch_add (1, std::memory_order_relaxed);
}

template <int Kind, auto Real>
struct Counted;
template <int Kind, typename R, typename... A, R (**Real) (A...)>
struct Counted<Kind, Real>
{
	static R call (A... arguments)
	{
		count (Kind);
		return (*Real) (arguments...);
	}
};

} // namespace

uint64_t KernelCalls::total () const
{
	uint64_t sum = 0;
	for (uint64_t n : count)
		sum += n;
	return sum;
}

KernelCalls KernelCalls::operator- (const KernelCalls& earlier) const
{
	KernelCalls difference;
	for (int i = 0; i < kKernelCallKinds; ++i)
		difference.count[i] = count[i] - earlier.count[i];
	return difference;
}

KernelCalls countedKernelCalls ()
{
	KernelCalls now;
	for (int i = 0; i < kKernelCallKinds; ++i)
		now.count[i] = calls[i].load ();
	return now;
}

void ignoreKernelCallsOfThisThread ()
{
	for (auto& thread : ignored)
	{
		DWORD empty = 0;
		if (thread.compare_exchange_strong (empty, GetCurrentThreadId ()))
			return;
	}
}

} // namespace tarvo::test

// The import entries the product's calls go through are swapped for counting ones.
#define COUNT_CALLS(name)                                                                                         \
	extern decltype (&name) __real___imp_##name;                                                                   \
	decltype (&name) __wrap___imp_##name = &tarvo::test::Counted<tarvo::test::k##name, &__real___imp_##name>::call;

extern "C" {
COUNT_CALLS (WaitForMultipleObjects)
COUNT_CALLS (WaitForSingleObject)
COUNT_CALLS (ResetEvent)
COUNT_CALLS (SetEvent)
COUNT_CALLS (ReadFile)
COUNT_CALLS (WriteFile)
COUNT_CALLS (GetOverlappedResult)
COUNT_CALLS (ConnectNamedPipe)
COUNT_CALLS (DisconnectNamedPipe)
COUNT_CALLS (CancelIoEx)
}
