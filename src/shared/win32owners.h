// Scope-bound owners of Windows resources, one per kind, released on every path.
#pragma once

#include <windows.h>

#include <objbase.h>

#include <utility>

namespace tarvo {

/** A kernel handle; null and INVALID_HANDLE_VALUE both mean "none". */
class UniqueHandle
{
public:
	UniqueHandle () = default;
	explicit UniqueHandle (HANDLE h) noexcept : handle (h) {}
	~UniqueHandle () { reset (); }
	UniqueHandle (UniqueHandle&& other) noexcept : handle (std::exchange (other.handle, nullptr)) {}
	UniqueHandle& operator= (UniqueHandle&& other) noexcept
	{
		if (this != &other)
		{
			reset ();
			handle = std::exchange (other.handle, nullptr);
		}
		return *this;
	}
	UniqueHandle (const UniqueHandle&) = delete;
	UniqueHandle& operator= (const UniqueHandle&) = delete;

	HANDLE get () const noexcept { return handle; }
	bool valid () const noexcept { return handle && handle != INVALID_HANDLE_VALUE; }
	explicit operator bool () const noexcept { return valid (); }
	void reset (HANDLE h = nullptr) noexcept
	{
		if (valid ())
			CloseHandle (handle);
		handle = h;
	}

private:
	HANDLE handle {nullptr};
};

/** Memory the system allocated with LocalAlloc (SID strings, security descriptors). */
template <typename T>
class LocalPtr
{
public:
	LocalPtr () = default;
	explicit LocalPtr (T p) noexcept : pointer (p) {}
	~LocalPtr () { reset (); }
	LocalPtr (LocalPtr&& other) noexcept : pointer (std::exchange (other.pointer, nullptr)) {}
	LocalPtr& operator= (LocalPtr&& other) noexcept
	{
		if (this != &other)
		{
			reset ();
			pointer = std::exchange (other.pointer, nullptr);
		}
		return *this;
	}
	LocalPtr (const LocalPtr&) = delete;
	LocalPtr& operator= (const LocalPtr&) = delete;

	T get () const noexcept { return pointer; }
	T* out () noexcept
	{
		reset ();
		return &pointer;
	}
	void reset () noexcept
	{
		if (pointer)
			LocalFree (reinterpret_cast<HLOCAL> (pointer));
		pointer = nullptr;
	}

private:
	T pointer {nullptr};
};

/** A string the shell allocated with CoTaskMemAlloc (known-folder paths). */
class ComTaskString
{
public:
	ComTaskString () = default;
	~ComTaskString () { CoTaskMemFree (text); }
	ComTaskString (const ComTaskString&) = delete;
	ComTaskString& operator= (const ComTaskString&) = delete;

	PWSTR* out () noexcept
	{
		CoTaskMemFree (text);
		text = nullptr;
		return &text;
	}
	const wchar_t* get () const noexcept { return text; }

private:
	PWSTR text {nullptr};
};

} // namespace tarvo
