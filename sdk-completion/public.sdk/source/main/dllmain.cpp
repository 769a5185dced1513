// Completes the VST 3 SDK copy shipped by Debian, which lacks the Windows module entry.
// Same exported names and behaviour as the SDK's public.sdk/source/main/dllmain.cpp.
#include "pluginterfaces/base/ftypes.h"

#include <windows.h>

#include <cwchar>

extern bool InitModule ();   // provided by the plug-in: called by the first InitDll
extern bool DeinitModule (); // provided by the plug-in: called by the last ExitDll

extern "C" {
__declspec (dllexport) bool InitDll ();
__declspec (dllexport) bool ExitDll ();
}

HINSTANCE ghInst = nullptr;
void* moduleHandle = nullptr;
wchar_t gPath[MAX_PATH] = {0};

static int moduleCounter {0};

bool InitDll ()
{
	if (++moduleCounter == 1)
		return InitModule ();
	return true;
}

bool ExitDll ()
{
	if (--moduleCounter == 0)
		return DeinitModule ();
	if (moduleCounter < 0)
		return false;
	return true;
}

BOOL WINAPI DllMain (HINSTANCE hInst, DWORD dwReason, LPVOID /*lpvReserved*/)
{
	if (dwReason == DLL_PROCESS_ATTACH)
	{
		moduleHandle = ghInst = hInst;

		// Remember the folder that holds the module file, with its trailing backslash.
		if (GetModuleFileNameW (ghInst, gPath, MAX_PATH) > 0)
		{
			wchar_t* bkslash = wcsrchr (gPath, L'\\');
			if (bkslash)
				gPath[bkslash - gPath + 1] = 0;
		}
	}
	return TRUE;
}
