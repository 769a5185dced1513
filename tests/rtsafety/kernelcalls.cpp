#include "kernelcalls.h"

#include <windows.h>

#include <atomic>

namespace tarvo::test {
namespace {

std::atomic<uint64_t> calls[kKernelCallKinds];
std::atomic<DWORD> ignored[8];

template <int Kind, auto Real>
struct Counted;
template <int Kind, typename R, typename... A, R (**Real) (A...)>
struct Counted<Kind, Real>
{
	static R call (A... arguments)
	{
		const DWORD self = GetCurrentThreadId ();
		bool counts = true;
		for (const auto& thread : ignored)
			counts &= thread.load (std::memory_order_relaxed) != self;
		if (counts)
			calls[Kind].fetch_add (1, std::memory_order_relaxed);
		return (*Real) (arguments...);
	}
};

} // namespace

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
		if (DWORD empty = 0; thread.compare_exchange_strong (empty, GetCurrentThreadId ()))
			return;
}

} // namespace tarvo::test

// The import entries the product's calls go through are swapped for counting ones.
#define COUNT_CALLS(name, kind)                                        \
	extern decltype (&name) __real___imp_##name;                        \
	decltype (&name) __wrap___imp_##name = &tarvo::test::Counted<tarvo::test::kind, &__real___imp_##name>::call;

extern "C" {
COUNT_CALLS (WaitForMultipleObjects, kWait)
COUNT_CALLS (ReadFile, kRead)
COUNT_CALLS (WriteFile, kWrite)
COUNT_CALLS (WaitForSingleObject, kOtherCall)
COUNT_CALLS (ResetEvent, kOtherCall)
COUNT_CALLS (SetEvent, kOtherCall)
COUNT_CALLS (GetOverlappedResult, kOtherCall)
COUNT_CALLS (ConnectNamedPipe, kOtherCall)
COUNT_CALLS (DisconnectNamedPipe, kOtherCall)
COUNT_CALLS (CancelIoEx, kOtherCall)
}
