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

/** A GDI object (font, brush) released with DeleteObject. */
template <typename T>
class GdiObject
{
public:
	GdiObject () = default;
	explicit GdiObject (T h) noexcept : handle (h) {}
	~GdiObject () { reset (); }
	GdiObject (const GdiObject&) = delete;
	GdiObject& operator= (const GdiObject&) = delete;

	T get () const noexcept { return handle; }
	void reset (T h = nullptr) noexcept
	{
		if (handle)
			DeleteObject (handle);
		handle = h;
	}

private:
	T handle {nullptr};
};

/** A window we created, destroyed with DestroyWindow (its children go with it). */
class UniqueWindow
{
public:
	UniqueWindow () = default;
	~UniqueWindow () { reset (); }
	UniqueWindow (const UniqueWindow&) = delete;
	UniqueWindow& operator= (const UniqueWindow&) = delete;

	HWND get () const noexcept { return window; }
	void reset (HWND h = nullptr) noexcept
	{
		if (window)
			DestroyWindow (window);
		window = h;
	}
	/** Forgets a window that someone else already destroyed. */
	void release () noexcept { window = nullptr; }

private:
	HWND window {nullptr};
};

/** A menu, destroyed with DestroyMenu. */
class UniqueMenu
{
public:
	explicit UniqueMenu (HMENU h) noexcept : menu (h) {}
	~UniqueMenu ()
	{
		if (menu)
			DestroyMenu (menu);
	}
	UniqueMenu (const UniqueMenu&) = delete;
	UniqueMenu& operator= (const UniqueMenu&) = delete;
	HMENU get () const noexcept { return menu; }

private:
	HMENU menu;
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
