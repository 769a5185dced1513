#include "allocationcounter.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// No thread_local here: emulated TLS may itself allocate on first use.
std::atomic<DWORD> countedThread {0};
std::atomic<uint64_t> allocations {0}, frees {0}, locks {0};
std::atomic<int64_t> grantedUntilFailure {-1}; // -1: no allocation fails
std::atomic<uint64_t> refused {0};

inline bool counting ()
{
	const DWORD thread = countedThread.load (std::memory_order_relaxed);
	return thread != 0 && thread == GetCurrentThreadId ();
}

/** Counts one allocation of the counted thread; true when it must fail. */
inline bool countAllocation ()
{
	if (!counting ())
		return false;
	++allocations;
	const int64_t left = grantedUntilFailure.load ();
	if (left < 0)
		return false;
	grantedUntilFailure = left - 1;
	if (left == 0)
		++refused;
	return left == 0;
}

} // namespace

extern "C" {
void* __real_malloc (size_t);
void __real_free (void*);
void* __real_calloc (size_t, size_t);
void* __real_realloc (void*, size_t);
void* __real__aligned_malloc (size_t, size_t);
void __real__aligned_free (void*);
void* __wrap_malloc (size_t n)
{
	return countAllocation () ? nullptr : __real_malloc (n);
}
void __wrap_free (void* p)
{
	if (p && counting ())
		++frees;
	__real_free (p);
}
void* __wrap_calloc (size_t n, size_t size)
{
	return countAllocation () ? nullptr : __real_calloc (n, size);
}
void* __wrap_realloc (void* p, size_t n)
{
	return countAllocation () ? nullptr : __real_realloc (p, n);
}
void* __wrap__aligned_malloc (size_t n, size_t alignment)
{
	return countAllocation () ? nullptr : __real__aligned_malloc (n, alignment);
}
void __wrap__aligned_free (void* p)
{
	if (p && counting ())
		++frees;
	__real__aligned_free (p);
}
// Each lock entry point counts, then takes the lock.
#define TARVO_COUNTED_LOCK(name, params, args) \
	int __real_##name params;                    \
	int __wrap_##name params                     \
	{                                            \
		if (counting ())                         \
			++locks;                             \
		return __real_##name args;               \
	}
TARVO_COUNTED_LOCK (pthread_mutex_lock, (void* m), (m))
TARVO_COUNTED_LOCK (pthread_mutex_trylock, (void* m), (m))
TARVO_COUNTED_LOCK (pthread_mutex_timedlock, (void* m, const void* t), (m, t))
TARVO_COUNTED_LOCK (pthread_rwlock_rdlock, (void* l), (l))
TARVO_COUNTED_LOCK (pthread_rwlock_wrlock, (void* l), (l))
TARVO_COUNTED_LOCK (pthread_cond_wait, (void* c, void* m), (c, m))
}

// operator new and delete, replaced for the whole program (ours and the library's).
void* operator new (size_t n)
{
	if (!countAllocation ())
		if (void* p = __real_malloc (n ? n : 1))
			return p;
	throw std::bad_alloc ();
}
void* operator new[] (size_t n)
{
	return operator new (n);
}
void* operator new (size_t n, const std::nothrow_t&) noexcept
{
	return countAllocation () ? nullptr : __real_malloc (n ? n : 1);
}
void* operator new (size_t n, std::align_val_t a)
{
	if (!countAllocation ())
		if (void* p = __real__aligned_malloc (n ? n : 1, size_t (a)))
			return p;
	throw std::bad_alloc ();
}
void operator delete (void* p) noexcept
{
	if (p && counting ())
		++frees;
	__real_free (p);
}
void operator delete[] (void* p) noexcept
{
	operator delete (p);
}
void operator delete (void* p, size_t) noexcept
{
	operator delete (p);
}
void operator delete (void* p, std::align_val_t) noexcept
{
	if (p && counting ())
		++frees;
	__real__aligned_free (p);
}
void operator delete (void* p, size_t, std::align_val_t a) noexcept
{
	operator delete (p, a);
}

namespace tarvo::test {

void beginCountingOnThisThread ()
{
	countedThread = GetCurrentThreadId ();
}

void endCounting ()
{
	countedThread = 0;
	grantedUntilFailure = -1;
}

void failAllocationAfter (uint64_t granted)
{
	refused = 0;
	grantedUntilFailure = int64_t (granted);
}

uint64_t failedAllocations ()
{
	return refused.load ();
}

AudioThreadCounts audioThreadCounts ()
{
	return {allocations.load (), frees.load (), locks.load ()};
}

} // namespace tarvo::test
