// Runs the VST 3 SDK's editor host on a bundle and checks what its user would see: the
// host's window opens with our panel at 360 x 210, the status line shows the processor's
// answer, a click on "Make primary" turns it into "Primary sender", the window closes on
// WM_CLOSE and the host exits with 0. The host runs under this program as its debugger, so
// an exception raised anywhere inside the plug-in's module is seen, also one the plug-in
// catches itself.
//   editorhost_check EDITORHOST.EXE BUNDLE
// Exit status: 0 every check passed, 1 one failed, 2 the command line was wrong.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

/** What the debugger thread learns of the host process. */
struct Debuggee
{
	std::atomic<DWORD> processId {0};
	std::atomic<bool> startFailed {false};
	std::atomic<bool> exited {false};
	std::atomic<DWORD> exitCode {0};
	std::atomic<uintptr_t> moduleStart {0}, moduleEnd {0};
	std::atomic<int> exceptions {0};
	std::atomic<DWORD> firstException {0};
	std::atomic<uintptr_t> firstExceptionAt {0};
};

/** Where the module the file handle belongs to lies in the debuggee, when it is ours. */
void noteModule (HANDLE process, HANDLE file, void* base, const std::wstring& moduleName, Debuggee& d)
{
	wchar_t path[2048] = {};
	if (!file || !GetFinalPathNameByHandleW (file, path, 2048, 0))
		return;
	const std::wstring name = path;
	if (name.size () < moduleName.size () || _wcsicmp (name.c_str () + name.size () - moduleName.size (), moduleName.c_str ()) != 0)
		return;
	IMAGE_DOS_HEADER dos {};
	IMAGE_NT_HEADERS64 nt {};
	SIZE_T got = 0;
	const auto at = reinterpret_cast<uintptr_t> (base);
	if (ReadProcessMemory (process, base, &dos, sizeof dos, &got) &&
	    ReadProcessMemory (process, reinterpret_cast<void*> (at + uintptr_t (dos.e_lfanew)), &nt, sizeof nt, &got))
	{
		d.moduleStart = at;
		d.moduleEnd = at + nt.OptionalHeader.SizeOfImage;
	}
}

/** Starts the host as a debuggee and follows its debug events until it exits. */
void debug (std::wstring commandLine, const std::wstring& moduleName, Debuggee& d)
{
	STARTUPINFOW startup {};
	startup.cb = sizeof startup;
	PROCESS_INFORMATION process {};
	if (!CreateProcessW (nullptr, commandLine.data (), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
	                     &startup, &process))
	{
		d.startFailed = true;
		return;
	}
	d.processId = process.dwProcessId;
	for (DEBUG_EVENT event {}; WaitForDebugEvent (&event, INFINITE);)
	{
		DWORD status = DBG_CONTINUE;
		switch (event.dwDebugEventCode)
		{
			case CREATE_PROCESS_DEBUG_EVENT:
				if (event.u.CreateProcessInfo.hFile)
					CloseHandle (event.u.CreateProcessInfo.hFile);
				break;
			case LOAD_DLL_DEBUG_EVENT:
				noteModule (process.hProcess, event.u.LoadDll.hFile, event.u.LoadDll.lpBaseOfDll, moduleName, d);
				if (event.u.LoadDll.hFile)
					CloseHandle (event.u.LoadDll.hFile);
				break;
			case EXCEPTION_DEBUG_EVENT:
			{
				const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
				const auto at = reinterpret_cast<uintptr_t> (record.ExceptionAddress);
				if (at >= d.moduleStart.load () && at < d.moduleEnd.load () && d.exceptions++ == 0)
				{
					d.firstException = record.ExceptionCode;
					d.firstExceptionAt = at - d.moduleStart.load ();
				}
				// The program handles its own exceptions as it would without us.
				if (record.ExceptionCode != EXCEPTION_BREAKPOINT)
					status = DBG_EXCEPTION_NOT_HANDLED;
				break;
			}
			case EXIT_PROCESS_DEBUG_EVENT:
				d.exitCode = event.u.ExitProcess.dwExitCode;
				d.exited = true;
				ContinueDebugEvent (event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
				CloseHandle (process.hThread);
				CloseHandle (process.hProcess);
				return;
		}
		ContinueDebugEvent (event.dwProcessId, event.dwThreadId, status);
	}
}

bool waitFor (const std::function<bool ()>& condition, std::chrono::milliseconds limit)
{
	for (const auto end = Clock::now () + limit; !condition ();)
	{
		if (Clock::now () >= end)
			return condition ();
		std::this_thread::sleep_for (std::chrono::milliseconds (20));
	}
	return true;
}

/** A window's text, asked of its own thread (GetWindowText does not read another process's
    controls). */
std::wstring textOf (HWND window)
{
	wchar_t text[256] = {};
	DWORD_PTR length = 0;
	if (!SendMessageTimeoutW (window, WM_GETTEXT, 256, reinterpret_cast<LPARAM> (text), SMTO_ABORTIFHUNG, 2000, &length))
		return L"(no answer)";
	return text;
}

/** The host's top-level window that holds our panel, and the panel; nulls until it shows. */
std::pair<HWND, HWND> findPanel (DWORD processId)
{
	for (HWND top = nullptr; (top = FindWindowExW (nullptr, top, nullptr, nullptr));)
	{
		DWORD owner = 0;
		GetWindowThreadProcessId (top, &owner);
		if (HWND panel = owner == processId ? FindWindowExW (top, nullptr, L"TarvoAudioServerPanel", nullptr) : nullptr)
			return {top, panel};
	}
	return {nullptr, nullptr};
}

HWND statusLineOf (HWND panel)
{
	for (HWND child = GetWindow (panel, GW_CHILD); child; child = GetWindow (child, GW_HWNDNEXT))
	{
		wchar_t className[32] = {};
		GetClassNameW (child, className, 32);
		if (_wcsicmp (className, L"Static") == 0 && (GetWindowLongW (child, GWL_STYLE) & SS_TYPEMASK) == SS_CENTER)
			return child;
	}
	return nullptr;
}

/** For the report: what the host shows is ASCII, or near enough. */
std::string narrow (const std::wstring& text)
{
	return std::string (text.begin (), text.end ());
}

} // namespace

int wmain (int argc, wchar_t** argv)
{
	if (argc != 3)
	{
		std::fprintf (stderr, "usage: editorhost_check EDITORHOST.EXE BUNDLE\n");
		return 2;
	}
	std::wstring bundle = argv[2];
	while (!bundle.empty () && (bundle.back () == L'\\' || bundle.back () == L'/'))
		bundle.pop_back ();
	const std::wstring moduleName = bundle.substr (bundle.find_last_of (L"\\/") + 1);
	Debuggee host;
	std::thread debugger (debug, L"\"" + std::wstring (argv[1]) + L"\" \"" + bundle + L"\"", moduleName, std::ref (host));

	int failures = 0;
	auto check = [&] (bool passed, const std::string& what) {
		std::printf ("%s %s\n", passed ? "  ok    " : "  FAILED", what.c_str ());
		std::fflush (stdout);
		failures += !passed;
		return passed;
	};

	std::pair<HWND, HWND> found {nullptr, nullptr}; // the host's window, our panel
	const bool started = waitFor ([&] { return host.processId.load () != 0 || host.startFailed.load (); }, std::chrono::seconds (10)) &&
	                     !host.startFailed.load ();
	if (check (started, "the editor host starts"))
	{
		const bool open = waitFor ([&] { return (found = findPanel (host.processId.load ())).second || host.exited.load (); },
		                           std::chrono::seconds (30)) &&
		                  found.second;
		if (check (open, "its window opens with the plug-in's panel (class TarvoAudioServerPanel)"))
		{
			RECT size {};
			GetClientRect (found.second, &size);
			check (size.right == 360 && size.bottom == 210,
			       "the panel is 360 x 210 (" + std::to_string (size.right) + " x " + std::to_string (size.bottom) + ")");

			// The panel can be found a moment before its controls exist: they are looked for
			// again until they are there.
			std::wstring shown = L"(no status line)";
			waitFor ([&] {
				const HWND status = statusLineOf (found.second);
				return status && (shown = textOf (status)) == L"Waiting for Tarvo";
			}, std::chrono::seconds (10));
			check (shown == L"Waiting for Tarvo", "the status line shows the processor's answer: \"" + narrow (shown) + "\"");

			HWND primary = nullptr;
			waitFor ([&] { return (primary = GetDlgItem (found.second, 103)) != nullptr; }, std::chrono::seconds (5));
			const std::wstring before = primary ? textOf (primary) : L"(no button)";
			DWORD_PTR ignored = 0;
			SendMessageTimeoutW (primary, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
			std::wstring after;
			waitFor ([&] { return (after = textOf (primary)) == L"Primary sender"; }, std::chrono::seconds (3));
			check (before == L"Make primary" && after == L"Primary sender",
			       "a click on \"" + narrow (before) + "\" turns it into \"" + narrow (after) + "\"");

			PostMessageW (found.first, WM_CLOSE, 0, 0);
			check (waitFor ([&] { return host.exited.load (); }, std::chrono::seconds (15)), "the window closes on WM_CLOSE and the host ends");
		}
	}
	if (!host.exited.load () && host.processId.load ())
		if (HANDLE process = OpenProcess (PROCESS_TERMINATE, FALSE, host.processId.load ()))
		{
			TerminateProcess (process, 99);
			CloseHandle (process);
		}
	debugger.join ();
	if (started)
	{
		check (host.exited.load () && host.exitCode.load () == 0, "the host exits with 0 (" + std::to_string (host.exitCode.load ()) + ")");
		check (host.moduleStart.load () != 0, "the debugger saw the plug-in's module load");
		char where[96] = "";
		if (host.exceptions.load ())
			std::snprintf (where, sizeof where, ", the first 0x%08lX at module offset 0x%llX", host.firstException.load (),
			               static_cast<unsigned long long> (host.firstExceptionAt.load ()));
		check (host.exceptions.load () == 0,
		       "no exception is raised inside the plug-in (" + std::to_string (host.exceptions.load ()) + where + ")");
	}
	std::printf ("editor host check: %s\n", failures ? "FAIL" : "PASS");
	return failures ? 1 : 0;
}
