#include "instrumentation.h"

#include <windows.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::test {
namespace {

// No thread_local here: emulated TLS may itself allocate on first use.
std::atomic<DWORD> countedThread {0};
std::atomic<uint64_t> allocations {0}, frees {0}, locks {0}, refused {0}, tokensOpened {0};
std::atomic<int64_t> grantedUntilFailure {-1}; // -1: no allocation fails
std::atomic<uint64_t> kernelCalls[kKernelCallKinds];
std::atomic<DWORD> ignoredThreads[8];
std::atomic<bool> connectFails {false}, writeFails {false}, writeShort {false}, timersRefused {false};
std::atomic<uint32_t> timerPeriod {0};
std::atomic<HANDLE> tickingTimers[8];

bool counting ()
{
	const DWORD thread = countedThread.load (std::memory_order_relaxed);
	return thread != 0 && thread == GetCurrentThreadId ();
}

} // namespace

/** Counts one allocation of the counted thread; true when it must fail. */
bool countAllocation ()
{
	if (!counting ())
		return false;
	++allocations;
	const int64_t left = grantedUntilFailure.load ();
	if (left < 0)
		return false;
	grantedUntilFailure = left - 1;
	refused += left == 0;
	return left == 0;
}

void countFree (void* p) { if (p && counting ()) ++frees; }
void countLock () { if (counting ()) ++locks; }

bool ignored ()
{
	const DWORD self = GetCurrentThreadId ();
	for (const auto& thread : ignoredThreads)
		if (thread.load (std::memory_order_relaxed) == self)
			return true;
	return false;
}

template <int Kind, auto Real>
struct Counted;
template <int Kind, typename R, typename... A, R (**Real) (A...)>
struct Counted<Kind, Real>
{
	static R call (A... arguments)
	{
		if (!ignored ())
			kernelCalls[Kind].fetch_add (1, std::memory_order_relaxed);
		return (*Real) (arguments...);
	}
};

/** Reports the operation pending and completes it at once with an error status. */
BOOL pendingThenFailed (LPOVERLAPPED overlapped)
{
	overlapped->InternalHigh = 0;
	overlapped->Internal = 0xC00000C4; // STATUS_UNEXPECTED_NETWORK_ERROR
	SetEvent (overlapped->hEvent);
	SetLastError (ERROR_IO_PENDING);
	return FALSE;
}

void beginCountingOnThisThread () { countedThread = GetCurrentThreadId (); }
void endCounting () { countedThread = 0, grantedUntilFailure = -1; }
void failAllocationAfter (uint64_t granted) { refused = 0, grantedUntilFailure = int64_t (granted); }
uint64_t failedAllocations () { return refused.load (); }
AudioThreadCounts audioThreadCounts () { return {allocations.load (), frees.load (), locks.load ()}; }

KernelCalls countedKernelCalls ()
{
	KernelCalls now;
	std::copy (std::begin (kernelCalls), std::end (kernelCalls), now.count);
	return now;
}

void failNextConnect () { connectFails = true; }
void failNextWrite () { writeFails = true; }
void refuseTimers (bool refuse) { timersRefused = refuse; }
void shortenNextWrite () { writeShort = true; }

void noteTimer (HANDLE timer, bool ticking)
{
	for (auto& slot : tickingTimers)
		if (slot.load () == timer)
		{
			if (!ticking)
				slot = nullptr;
			return;
		}
	for (auto& slot : tickingTimers)
		if (HANDLE empty = nullptr; ticking && slot.compare_exchange_strong (empty, timer))
			return;
}

uint32_t timersTicking ()
{
	uint32_t ticking = 0;
	for (const auto& slot : tickingTimers)
		ticking += slot.load () != nullptr;
	return ticking;
}

namespace {

std::mutex rootsMutex;
std::vector<std::pair<std::wstring, std::wstring>> roots; // a root without its last separator, its folder
std::pair<std::wstring, std::wstring> windowsLink; // a link and its target
std::atomic<bool> anyRoot {false};
std::atomic<uint32_t> serverAloneCalls {0};

} // namespace

enum class Place { elsewhere, root, below, serverAlone, link };

/** Where `path` lies among the mapped roots; below one, `real` is where it goes, and for
    the link, where it leads. */
Place placeOf (const wchar_t* path, std::wstring& real)
{
	if (!path || !anyRoot.load ())
		return Place::elsewhere; // nothing allocated, nothing locked
	std::lock_guard<std::mutex> lock (rootsMutex);
	if (!windowsLink.first.empty () && _wcsicmp (path, windowsLink.first.c_str ()) == 0)
		return real = windowsLink.second, Place::link;
	const std::wstring_view text (path);
	auto startsWith = [&] (std::wstring_view prefix) {
		return text.size () >= prefix.size () && _wcsnicmp (path, prefix.data (), prefix.size ()) == 0;
	};
	auto separatorsFrom = [&] (size_t at) { return text.find_first_not_of (L"\\/", at) == std::wstring_view::npos; };
	for (const auto& [root, folder] : roots)
	{
		if (startsWith (root) && separatorsFrom (root.size ()))
			return Place::root;
		if (startsWith (root) && (text[root.size ()] == L'\\' || text[root.size ()] == L'/'))
			return real = folder + std::wstring (text.substr (root.size ())), Place::below;
		const size_t share = root.find (L'\\', 2); // "\\server" ends there
		if (root.rfind (L"\\\\", 0) == 0 && share != std::wstring::npos &&
		    startsWith (std::wstring_view (root).substr (0, share)) && separatorsFrom (share))
			return Place::serverAlone;
	}
	return Place::elsewhere;
}

/** `real` on the path as the mapped roots have it. A share's server alone fails with
    "network path not found"; a root itself fails with `atRoot` unless that is 0. */
template <typename Result, typename Call>
Result throughRoots (const wchar_t* path, Result failed, DWORD atRoot, Call&& real)
{
	std::wstring mapped;
	const Place place = placeOf (path, mapped);
	if (place == Place::below)
		return real (mapped.c_str ());
	if (place == Place::elsewhere || place == Place::link || (place == Place::root && atRoot == 0))
		return real (path);
	serverAloneCalls += place == Place::serverAlone;
	SetLastError (place == Place::serverAlone ? DWORD (ERROR_BAD_NETPATH) : atRoot);
	return failed;
}

void mapRoot (std::wstring root, const std::wstring& folder)
{
	std::lock_guard<std::mutex> lock (rootsMutex);
	while (!root.empty () && (root.back () == L'\\' || root.back () == L'/'))
		root.pop_back ();
	roots.emplace_back (root, folder);
	anyRoot = true;
}

void unmapRoots ()
{
	std::lock_guard<std::mutex> lock (rootsMutex);
	roots.clear ();
	windowsLink = {};
	anyRoot = false;
}

void linkAsWindows (const std::wstring& link, const std::wstring& target)
{
	std::lock_guard<std::mutex> lock (rootsMutex);
	windowsLink = {link, target};
	anyRoot = true;
}

uint32_t callsOnServerAlone () { return serverAloneCalls.load (); }

uint64_t runsBegun () { return tokensOpened.load (); }
uint32_t lastTimerPeriod () { return timerPeriod.load (); }

void ignoreKernelCallsOfThisThread ()
{
	for (auto& thread : ignoredThreads)
		if (DWORD empty = 0; thread.compare_exchange_strong (empty, GetCurrentThreadId ()))
			return;
}

} // namespace tarvo::test

using tarvo::test::countAllocation;
using tarvo::test::countFree;
using tarvo::test::countLock;

// The heap: every allocation path of the C runtime (operator new and delete reach these
// too), with the originals kept as __real_*.
extern "C" {
void* __real_malloc (size_t);
void __real_free (void*);
void* __real_calloc (size_t, size_t);
void* __real_realloc (void*, size_t);
void* __real__aligned_malloc (size_t, size_t);
void __real__aligned_free (void*);
void* __wrap_malloc (size_t n) { return countAllocation () ? nullptr : __real_malloc (n); }
void* __wrap_calloc (size_t n, size_t size) { return countAllocation () ? nullptr : __real_calloc (n, size); }
void* __wrap_realloc (void* p, size_t n) { return countAllocation () ? nullptr : __real_realloc (p, n); }
void* __wrap__aligned_malloc (size_t n, size_t a) { return countAllocation () ? nullptr : __real__aligned_malloc (n, a); }
void __wrap_free (void* p) { countFree (p), __real_free (p); }
void __wrap__aligned_free (void* p) { countFree (p), __real__aligned_free (p); }

// Each lock entry point counts, then takes the lock.
#define COUNT_LOCKS(name, params, args) \
	int __real_##name params;             \
	int __wrap_##name params { return countLock (), __real_##name args; }
COUNT_LOCKS (pthread_mutex_lock, (void* m), (m))
COUNT_LOCKS (pthread_mutex_trylock, (void* m), (m))
COUNT_LOCKS (pthread_mutex_timedlock, (void* m, const void* t), (m, t))
COUNT_LOCKS (pthread_rwlock_rdlock, (void* l), (l))
COUNT_LOCKS (pthread_rwlock_wrlock, (void* l), (l))
COUNT_LOCKS (pthread_cond_wait, (void* c, void* m), (c, m))

// The import entries the pipe loop's calls go through are swapped for counting ones.
#define COUNT_CALLS(name, kind) \
	extern decltype (&name) __real___imp_##name; \
	decltype (&name) __wrap___imp_##name = &tarvo::test::Counted<tarvo::test::kind, &__real___imp_##name>::call;
COUNT_CALLS (WaitForMultipleObjects, kWait)
COUNT_CALLS (ReadFile, kRead)
COUNT_CALLS (WaitForSingleObject, kOtherCall)
COUNT_CALLS (ResetEvent, kOtherCall)
COUNT_CALLS (SetEvent, kOtherCall)
COUNT_CALLS (GetOverlappedResult, kOtherCall)
COUNT_CALLS (DisconnectNamedPipe, kOtherCall)
COUNT_CALLS (CancelIoEx, kOtherCall)

// Connecting and writing can be made to fail; opening the process token marks a run.
extern decltype (&ConnectNamedPipe) __real___imp_ConnectNamedPipe;
extern decltype (&WriteFile) __real___imp_WriteFile;
extern decltype (&OpenProcessToken) __real___imp_OpenProcessToken;
static BOOL WINAPI connectOrFail (HANDLE pipe, LPOVERLAPPED overlapped)
{
	using tarvo::test::connectFails;
	if (overlapped && !tarvo::test::ignored () && connectFails.exchange (false))
		return tarvo::test::pendingThenFailed (overlapped);
	return tarvo::test::Counted<tarvo::test::kOtherCall, &__real___imp_ConnectNamedPipe>::call (pipe, overlapped);
}
static BOOL WINAPI writeOrFail (HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
	using tarvo::test::writeFails;
	using tarvo::test::writeShort;
	if (overlapped && !tarvo::test::ignored () && writeFails.exchange (false))
		return tarvo::test::pendingThenFailed (overlapped);
	if (overlapped && size > 1 && !tarvo::test::ignored () && writeShort.exchange (false))
		size /= 2;
	return tarvo::test::Counted<tarvo::test::kWrite, &__real___imp_WriteFile>::call (file, bytes, size, written, overlapped);
}
static BOOL WINAPI openToken (HANDLE process, DWORD access, PHANDLE token)
{
	++tarvo::test::tokensOpened;
	return __real___imp_OpenProcessToken (process, access, token);
}
extern decltype (&CreateWaitableTimerExW) __real___imp_CreateWaitableTimerExW;
static HANDLE WINAPI timerOrNone (LPSECURITY_ATTRIBUTES attributes, LPCWSTR name, DWORD flags, DWORD access)
{
	if (tarvo::test::timersRefused.load ())
	{
		SetLastError (ERROR_INVALID_PARAMETER);
		return nullptr;
	}
	return __real___imp_CreateWaitableTimerExW (attributes, name, flags, access);
}
// Setting, cancelling and closing timers keep track of the ones left ticking (setting and cancelling count as calls).
extern decltype (&SetWaitableTimer) __real___imp_SetWaitableTimer;
extern decltype (&CancelWaitableTimer) __real___imp_CancelWaitableTimer;
extern decltype (&CloseHandle) __real___imp_CloseHandle;
static BOOL WINAPI setTimer (HANDLE timer, const LARGE_INTEGER* due, LONG period, PTIMERAPCROUTINE routine, LPVOID argument,
                             BOOL resume)
{
	const BOOL set = tarvo::test::Counted<tarvo::test::kOtherCall, &__real___imp_SetWaitableTimer>::call (
	    timer, due, period, routine, argument, resume);
	if (set)
		tarvo::test::noteTimer (timer, period > 0), tarvo::test::timerPeriod = uint32_t (period);
	return set;
}
static BOOL WINAPI cancelTimer (HANDLE timer)
{
	tarvo::test::noteTimer (timer, false);
	return tarvo::test::Counted<tarvo::test::kOtherCall, &__real___imp_CancelWaitableTimer>::call (timer);
}
static BOOL WINAPI closeHandle (HANDLE handle)
{
	tarvo::test::noteTimer (handle, false);
	return __real___imp_CloseHandle (handle);
}
decltype (&SetWaitableTimer) __wrap___imp_SetWaitableTimer = &setTimer;
decltype (&CancelWaitableTimer) __wrap___imp_CancelWaitableTimer = &cancelTimer;
decltype (&CloseHandle) __wrap___imp_CloseHandle = &closeHandle;
decltype (&CreateWaitableTimerExW) __wrap___imp_CreateWaitableTimerExW = &timerOrNone;
decltype (&ConnectNamedPipe) __wrap___imp_ConnectNamedPipe = &connectOrFail;
decltype (&WriteFile) __wrap___imp_WriteFile = &writeOrFail;
decltype (&OpenProcessToken) __wrap___imp_OpenProcessToken = &openToken;

// The file calls a run makes on its runtime directory go through mapped roots.
using tarvo::test::Place;
#define REAL(name) extern decltype (&name) __real___imp_##name;
REAL (CreateDirectoryW)
REAL (GetFileAttributesW)
REAL (SetFileSecurityW)
REAL (CreateFileW)
REAL (DeleteFileW)
REAL (SetFileInformationByHandle)
static BOOL WINAPI createDirectory (LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
	return tarvo::test::throughRoots (path, FALSE, ERROR_ACCESS_DENIED,
	                                  [&] (LPCWSTR p) { return __real___imp_CreateDirectoryW (p, attributes); });
}
static DWORD WINAPI fileAttributes (LPCWSTR path)
{
	// A drive's root reads as a hidden system directory; the link as a reparse point.
	std::wstring real;
	if (const auto place = tarvo::test::placeOf (path, real); place == Place::root || place == Place::link)
		return place == Place::link ? FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT
		                            : FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
	return tarvo::test::throughRoots (path, INVALID_FILE_ATTRIBUTES, 0, [] (LPCWSTR p) { return __real___imp_GetFileAttributesW (p); });
}
static BOOL WINAPI fileSecurity (LPCWSTR path, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor)
{
	return tarvo::test::throughRoots (path, FALSE, ERROR_ACCESS_DENIED,
	                                  [&] (LPCWSTR p) { return __real___imp_SetFileSecurityW (p, what, descriptor); });
}
static HANDLE WINAPI createFile (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                 DWORD disposition, DWORD flags, HANDLE model)
{
	if (std::wstring target; tarvo::test::placeOf (path, target) == Place::link)
	{
		if (!(flags & FILE_FLAG_OPEN_REPARSE_POINT))
			return __real___imp_CreateFileW (target.c_str (), access, share, attributes, disposition, flags, model);
		if (disposition == CREATE_NEW)
			return SetLastError (ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
	}
	return tarvo::test::throughRoots (path, INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED, [&] (LPCWSTR p) {
		return __real___imp_CreateFileW (p, access, share, attributes, disposition, flags, model);
	});
}
static BOOL WINAPI deleteFile (LPCWSTR path)
{
	if (std::wstring target; tarvo::test::placeOf (path, target) == Place::link)
		return tarvo::test::linkAsWindows ({}, {}), TRUE;
	return tarvo::test::throughRoots (path, FALSE, ERROR_ACCESS_DENIED, [] (LPCWSTR p) { return __real___imp_DeleteFileW (p); });
}
static BOOL WINAPI fileInformation (HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size)
{
	if (kind != FileRenameInfo)
		return __real___imp_SetFileInformationByHandle (file, kind, information, size);
	const auto* rename = static_cast<const FILE_RENAME_INFO*> (information);
	const std::wstring target (rename->FileName, rename->FileNameLength / sizeof (wchar_t));
	return tarvo::test::throughRoots (target.c_str (), FALSE, ERROR_ACCESS_DENIED, [&] (LPCWSTR p) {
		const size_t length = std::wcslen (p);
		std::vector<FILE_RENAME_INFO> moved (2 + length * sizeof (wchar_t) / sizeof (FILE_RENAME_INFO));
		moved[0] = *rename;
		moved[0].FileNameLength = DWORD (length * sizeof (wchar_t));
		std::wmemcpy (moved[0].FileName, p, length + 1);
		return __real___imp_SetFileInformationByHandle (file, kind, moved.data (),
		                                                DWORD (sizeof (FILE_RENAME_INFO) + length * sizeof (wchar_t)));
	});
}
decltype (&CreateDirectoryW) __wrap___imp_CreateDirectoryW = &createDirectory;
decltype (&GetFileAttributesW) __wrap___imp_GetFileAttributesW = &fileAttributes;
decltype (&SetFileSecurityW) __wrap___imp_SetFileSecurityW = &fileSecurity;
decltype (&CreateFileW) __wrap___imp_CreateFileW = &createFile;
decltype (&DeleteFileW) __wrap___imp_DeleteFileW = &deleteFile;
decltype (&SetFileInformationByHandle) __wrap___imp_SetFileInformationByHandle = &fileInformation;
// Windows' C runtime sees a path with a wildcard as missing, "\\?\" prefixes included.
extern decltype (&_wstat64) __real___imp__wstat64;
static int __cdecl statLikeWindows (const wchar_t* path, struct _stat64* status)
{
	if (path && std::wcspbrk (path, L"?*"))
	{
		errno = ENOENT;
		return -1;
	}
	return __real___imp__wstat64 (path, status);
}
decltype (&_wstat64) __wrap___imp__wstat64 = &statLikeWindows;
}
