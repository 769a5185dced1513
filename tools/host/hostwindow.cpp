#include "hostwindow.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <cstring>

namespace tarvo::host {

using namespace Steinberg;

tresult PLUGIN_API ComponentHandler::queryInterface (const TUID iid, void** obj)
{
	if (FUnknownPrivate::iidEqual (iid, Vst::IComponentHandler::iid) || FUnknownPrivate::iidEqual (iid, FUnknown::iid))
	{
		*obj = static_cast<Vst::IComponentHandler*> (this);
		return kResultOk;
	}
	if (FUnknownPrivate::iidEqual (iid, Vst::IComponentHandler2::iid))
	{
		*obj = static_cast<Vst::IComponentHandler2*> (this);
		return kResultOk;
	}
	*obj = nullptr;
	return kNoInterface;
}

namespace {

constexpr wchar_t kHostWindowClass[] = L"TarvoHostWindow";

LRESULT CALLBACK hostWindowProcedure (HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
	return DefWindowProcW (window, message, wParam, lParam);
}

} // namespace

EditorWindow::~EditorWindow ()
{
	close ();
}

bool EditorWindow::open (IPlugView* view, const wchar_t* title, std::string& error)
{
	close ();
	if (!view || view->isPlatformTypeSupported (kPlatformTypeHWND) != kResultTrue)
	{
		error = "the view cannot live in a Win32 window";
		return false;
	}
	ViewRect size;
	view->getSize (&size);
	WNDCLASSW windowClass {};
	windowClass.lpfnWndProc = hostWindowProcedure;
	windowClass.hInstance = GetModuleHandleW (nullptr);
	windowClass.hCursor = LoadCursorW (nullptr, IDC_ARROW);
	windowClass.hbrBackground = reinterpret_cast<HBRUSH> (COLOR_WINDOW + 1);
	windowClass.lpszClassName = kHostWindowClass;
	RegisterClassW (&windowClass);

	RECT frame {0, 0, size.getWidth (), size.getHeight ()};
	const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
	AdjustWindowRect (&frame, style, FALSE);
	hostWindow = CreateWindowExW (0, kHostWindowClass, title, style, 40, 40, frame.right - frame.left,
	                              frame.bottom - frame.top, nullptr, nullptr, GetModuleHandleW (nullptr), nullptr);
	if (!hostWindow)
	{
		error = "cannot create the host window (is there a display?)";
		return false;
	}
	ShowWindow (hostWindow, SW_SHOW);
	if (view->attached (hostWindow, kPlatformTypeHWND) != kResultOk)
	{
		error = "the view refused to attach";
		DestroyWindow (hostWindow);
		hostWindow = nullptr;
		return false;
	}
	plugView = view;
	plugView->addRef ();
	UpdateWindow (hostWindow);
	return true;
}

void EditorWindow::close ()
{
	if (plugView)
	{
		plugView->removed ();
		plugView->release ();
		plugView = nullptr;
	}
	if (hostWindow)
	{
		DestroyWindow (hostWindow);
		hostWindow = nullptr;
	}
}

HWND EditorWindow::childOfClass (const wchar_t* windowClass) const
{
	return hostWindow ? FindWindowExW (hostWindow, nullptr, windowClass, nullptr) : nullptr;
}

void pumpMessages ()
{
	MSG message;
	while (PeekMessageW (&message, nullptr, 0, 0, PM_REMOVE))
	{
		TranslateMessage (&message);
		DispatchMessageW (&message);
	}
}

bool captureWindow (HWND window, uint32_t& width, uint32_t& height, std::vector<uint8_t>& rgb)
{
	RECT client;
	if (!window || !GetClientRect (window, &client))
		return false;
	width = uint32_t (client.right - client.left);
	height = uint32_t (client.bottom - client.top);
	HDC source = GetDC (window);
	HDC memory = CreateCompatibleDC (source);
	HBITMAP bitmap = CreateCompatibleBitmap (source, int (width), int (height));
	HGDIOBJ previous = SelectObject (memory, bitmap);
	const bool copied = BitBlt (memory, 0, 0, int (width), int (height), source, 0, 0, SRCCOPY);
	SelectObject (memory, previous);

	BITMAPINFO info {};
	info.bmiHeader.biSize = sizeof info.bmiHeader;
	info.bmiHeader.biWidth = LONG (width);
	info.bmiHeader.biHeight = -LONG (height); // rows top to bottom
	info.bmiHeader.biPlanes = 1;
	info.bmiHeader.biBitCount = 32;
	info.bmiHeader.biCompression = BI_RGB;
	std::vector<uint8_t> bgra (size_t (width) * height * 4);
	const int rows = GetDIBits (memory, bitmap, 0, height, bgra.data (), &info, DIB_RGB_COLORS);
	DeleteObject (bitmap);
	DeleteDC (memory);
	ReleaseDC (window, source);
	if (!copied || rows != int (height))
		return false;
	rgb.resize (size_t (width) * height * 3);
	for (size_t i = 0; i < size_t (width) * height; ++i)
	{
		rgb[3 * i] = bgra[4 * i + 2];
		rgb[3 * i + 1] = bgra[4 * i + 1];
		rgb[3 * i + 2] = bgra[4 * i];
	}
	return true;
}

bool saveScreenshot (HWND window, const std::string& path)
{
	uint32_t width = 0, height = 0;
	std::vector<uint8_t> rgb;
	return captureWindow (window, width, height, rgb) &&
	       stbi_write_png (path.c_str (), int (width), int (height), 3, rgb.data (), int (width) * 3) != 0;
}

} // namespace tarvo::host
