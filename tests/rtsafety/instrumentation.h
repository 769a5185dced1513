// Counts, through the linker's --wrap, what the product asks of the runtime and the kernel:
// heap operations and lock acquisitions made by one chosen thread (whose allocations can
// also be made to fail), and the Win32 calls that make up the pipe loop.
#pragma once

#include <cstdint>
#include <string>

namespace tarvo::test {

struct AudioThreadCounts { uint64_t allocations {0}, frees {0}, locks {0}; };

/** Counting applies to the calling thread, between begin and end. */
void beginCountingOnThisThread ();
void endCounting ();
AudioThreadCounts audioThreadCounts ();

/** On the counted thread, the allocation after the next `granted` ones fails (malloc
    returns null, so operator new throws std::bad_alloc); failedAllocations tells whether
    it came. */
void failAllocationAfter (uint64_t granted);
uint64_t failedAllocations ();

// kWait is WaitForMultipleObjects, one per pass of the loop; kOtherCall events, overlapped
// results, connecting, disconnecting, cancelling, and setting and cancelling timers.
enum KernelCall { kWait, kRead, kWrite, kOtherCall, kKernelCallKinds };

struct KernelCalls
{
	uint64_t count[kKernelCallKinds] {};
	uint64_t total () const { return count[kWait] + count[kRead] + count[kWrite] + count[kOtherCall]; }
};

/** The kernel calls of every thread but the ones told to be ignored (the test's own). */
KernelCalls countedKernelCalls ();
void ignoreKernelCallsOfThisThread ();

/** The next ConnectNamedPipe, or WriteFile, of a thread that is not ignored goes pending
    and then completes with an error, as when the system gives up on the operation. */
void failNextConnect ();
void failNextWrite ();
/** The next WriteFile of a thread that is not ignored writes only the first half. */
void shortenNextWrite ();
/** While true, no waitable timer can be made, as on Windows before 10 1803 (high resolution). */
void refuseTimers (bool refuse);
/** Periodic waitable timers set and neither cancelled nor closed since; the period the last set gave. */
uint32_t timersTicking ();
uint32_t lastTimerPeriod ();
/** Server runs begun so far (each opens the process token first). */
uint64_t runsBegun ();

/** Until unmapped, the file calls take paths below `root` (a drive's root such as "T:\",
    or a share's such as "\\server\share") to `folder`, and answer for the root itself as
    Windows does: it reads as a directory and cannot be created (access denied); a share's
    server alone ("\\server") is no path at all, and every call naming it is counted. The
    C runtime's stat sees every path with a '?' in it as missing, as Windows' does. */
void mapRoot (std::wstring root, const std::wstring& folder);
void unmapRoots ();
uint32_t callsOnServerAlone ();
/** Until unmapped too, `link` answers as a symbolic link to `target` (which need not exist)
    answers on Windows: its attributes say reparse point, a create or open follows it to
    the target unless asked to open the link itself (where a create finds the name taken),
    and deleting it removes the link alone. */
void linkAsWindows (const std::wstring& link, const std::wstring& target);

} // namespace tarvo::test
