// The panel the host embeds: title, the sender's status, the primary-sender button, a
// clear button while an audition runs, and a menu to rename the sender. It polls the
// processor through the controller every 100 ms and redraws only what changed.
#include "controller/editor.h"

#include "controller/controller.h"
#include "shared/messages.h"
#include "shared/win32owners.h"

#include "public.sdk/source/common/pluginview.h"

#include <windows.h>

#include <cstring>
#include <iterator>
#include <new>
#include <string>

namespace tarvo {
namespace {

using namespace Steinberg;

constexpr wchar_t kPanelClass[] = L"TarvoAudioServerPanel";
constexpr int kNameUnits = 64; // a sender's name, in UTF-16 units
constexpr int kPanelWidth = 360;
constexpr int kPanelHeight = 210;

constexpr int kNameEditId = 101;
constexpr int kClearButtonId = 102;
constexpr int kPrimaryButtonId = 103;
constexpr int kMenuButtonId = 104;
constexpr UINT kRenameItemId = 201;
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMillis = 100;

constexpr COLORREF kBackground = RGB (24, 32, 39);
constexpr COLORREF kEditBackground = RGB (14, 22, 28);
constexpr COLORREF kText = RGB (223, 234, 241);
constexpr COLORREF kButtonFill = RGB (48, 46, 62);
constexpr COLORREF kButtonText = RGB (228, 235, 241);
constexpr COLORREF kPrimaryFill = RGB (207, 194, 233);
constexpr COLORREF kPrimaryText = RGB (16, 20, 27);

constexpr DWORD kStaticStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
constexpr DWORD kEditStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;

HFONT makeFont (int height, int weight)
{
	return CreateFontW (height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
	                    CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI");
}

/** Writes a control's text only when it differs, so an idle panel repaints nothing; true
    when it wrote. */
bool setTextIfChanged (HWND control, const std::u16string& text)
{
	wchar_t current[128] = {};
	const int length = GetWindowTextW (control, current, int (std::size (current)));
	if (size_t (length) == text.size () && std::memcmp (current, text.data (), text.size () * sizeof (wchar_t)) == 0)
		return false;
	SetWindowTextW (control, reinterpret_cast<const wchar_t*> (text.c_str ()));
	return true;
}

const ViewRect& panelRect ()
{
	static const ViewRect rect (0, 0, kPanelWidth, kPanelHeight);
	return rect;
}

class Editor : public CPluginView
{
public:
	explicit Editor (Controller& owner)
	: CPluginView (&panelRect ())
	, controller (&owner)
	, backgroundBrush (CreateSolidBrush (kBackground))
	, editBrush (CreateSolidBrush (kEditBackground))
	{
		controller->addRef ();
	}

	~Editor () override
	{
		if (panel.get ())
			destroyPanel ();
		CPluginView::removed ();
		controller->release ();
	}

	tresult PLUGIN_API isPlatformTypeSupported (FIDString type) SMTG_OVERRIDE
	{
		return type && std::strcmp (type, kPlatformTypeHWND) == 0 ? kResultTrue : kResultFalse;
	}

	tresult PLUGIN_API attached (void* parent, FIDString type) SMTG_OVERRIDE
	{
		try
		{
			return attach (parent, type);
		}
		catch (...)
		{
			// Out of memory half-way: no panel rather than half of one.
			if (panel.get ())
				destroyPanel ();
			return kResultFalse;
		}
	}

	tresult PLUGIN_API removed () SMTG_OVERRIDE
	{
		if (panel.get ())
			destroyPanel ();
		return CPluginView::removed ();
	}

private:
	static LRESULT CALLBACK windowProcedure (HWND window, UINT message, WPARAM wParam, LPARAM lParam);
	static LRESULT CALLBACK nameEditProcedure (HWND edit, UINT message, WPARAM wParam, LPARAM lParam);
	tresult attach (void* parent, FIDString type);
	LRESULT handle (HWND window, UINT message, WPARAM wParam, LPARAM lParam);
	void endRename (bool commit);
	void commitOpenRename ();
	HWND addChild (const wchar_t* windowClass, int id, const wchar_t* text, DWORD style, int x, int y, int width,
	               int height);
	void destroyPanel ();
	void refresh ();
	void refreshControls ();
	void onCommand (int id, int code);
	void showMenu ();
	void drawButton (const DRAWITEMSTRUCT& item);
	std::u16string boxText () const;

	Controller* controller;
	UniqueWindow panel;
	HWND nameEdit {nullptr};
	HWND statusLine {nullptr};
	HWND primaryButton {nullptr};
	HWND clearButton {nullptr};
	HINSTANCE module {nullptr};
	GdiObject<HFONT> bodyFont;
	GdiObject<HFONT> titleFont;
	GdiObject<HBRUSH> backgroundBrush;
	GdiObject<HBRUSH> editBrush;
	int32_t lastDrawnRole {-1};
	std::u16string boxName; // the name the rename box was last given
};

tresult Editor::attach (void* parent, FIDString type)
{
	if (panel.get () || !parent || !type || std::strcmp (type, kPlatformTypeHWND) != 0)
		return kResultFalse;

	GetModuleHandleExW (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
	                    reinterpret_cast<LPCWSTR> (&Editor::windowProcedure), &module);
	WNDCLASSW windowClass {};
	windowClass.lpfnWndProc = &Editor::windowProcedure;
	windowClass.hInstance = module;
	windowClass.hCursor = LoadCursorW (nullptr, IDC_ARROW);
	windowClass.lpszClassName = kPanelClass;
	RegisterClassW (&windowClass); // fails harmlessly when an earlier panel registered it

	panel.reset (CreateWindowExW (0, kPanelClass, L"Tarvo Audio Server", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0,
	                              0, kPanelWidth, kPanelHeight, static_cast<HWND> (parent), nullptr, module, this));
	if (!panel.get ())
		return kResultFalse;

	bodyFont.reset (makeFont (-15, FW_NORMAL));
	titleFont.reset (makeFont (-21, FW_BOLD));

	HWND title = addChild (L"STATIC", 0, L"Tarvo", kStaticStyle, 18, 16, 65, 28);
	SendMessageW (title, WM_SETFONT, reinterpret_cast<WPARAM> (titleFont.get ()), TRUE);
	addChild (L"STATIC", 0, L"Audio Server", kStaticStyle, 96, 20, 180, 24);
	addChild (L"BUTTON", kMenuButtonId, L"...", kButtonStyle, 310, 15, 32, 28);
	nameEdit = addChild (L"EDIT", kNameEditId, L"", kEditStyle, 20, 53, 320, 27);
	primaryButton = addChild (L"BUTTON", kPrimaryButtonId, L"Make primary", kButtonStyle, 90, 92, 180, 34);
	clearButton = addChild (L"BUTTON", kClearButtonId, L"Clear Solo", kButtonStyle, 125, 139, 110, 28);
	statusLine = addChild (L"STATIC", 0, L"Not connected", kStaticStyle | SS_CENTER, 18, 183, 324, 22);
	SendMessageW (nameEdit, EM_LIMITTEXT, kNameUnits, 0);
	// Enter and Escape end a rename; the edit keeps its own procedure in its user data.
	SetWindowLongPtrW (nameEdit, GWLP_USERDATA,
	                   SetWindowLongPtrW (nameEdit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR> (&Editor::nameEditProcedure)));
	ShowWindow (nameEdit, SW_HIDE);
	ShowWindow (clearButton, SW_HIDE);

	SetTimer (panel.get (), kRefreshTimer, kRefreshMillis, nullptr);
	refresh ();
	return CPluginView::attached (parent, type);
}

HWND Editor::addChild (const wchar_t* windowClass, int id, const wchar_t* text, DWORD style, int x, int y,
                       int width, int height)
{
	HWND child = CreateWindowExW (0, windowClass, text, style, x, y, width, height, panel.get (),
	                              reinterpret_cast<HMENU> (static_cast<INT_PTR> (id)), module, nullptr);
	SendMessageW (child, WM_SETFONT, reinterpret_cast<WPARAM> (bodyFont.get ()), TRUE);
	return child;
}

void Editor::destroyPanel ()
{
	// (The window's timer goes with the window.) A rename being typed is committed first;
	// then the window stops knowing us: its last messages need nothing of ours.
	commitOpenRename ();
	SetWindowLongPtrW (panel.get (), GWLP_USERDATA, 0);
	panel.reset ();
	nameEdit = statusLine = primaryButton = clearButton = nullptr;
}

LRESULT CALLBACK Editor::windowProcedure (HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
	if (message == WM_NCCREATE)
	{
		const auto* create = reinterpret_cast<const CREATESTRUCTW*> (lParam);
		SetWindowLongPtrW (window, GWLP_USERDATA, reinterpret_cast<LONG_PTR> (create->lpCreateParams));
		return DefWindowProcW (window, message, wParam, lParam);
	}
	auto* editor = reinterpret_cast<Editor*> (GetWindowLongPtrW (window, GWLP_USERDATA));
	if (!editor)
		return DefWindowProcW (window, message, wParam, lParam);
	if (message == WM_DESTROY)
		editor->commitOpenRename (); // the host destroys its window, the name box still open
	if (message == WM_NCDESTROY)
	{
		// The host destroyed its window, and ours with it, before removing the view.
		SetWindowLongPtrW (window, GWLP_USERDATA, 0);
		editor->panel.release ();
		editor->nameEdit = editor->statusLine = editor->primaryButton = editor->clearButton = nullptr;
		return DefWindowProcW (window, message, wParam, lParam);
	}
	// A host may release the view while a message runs a modal loop (the menu): the
	// editor lives until the message is handled.
	IPtr<Editor> keepAlive (editor);
	try
	{
		return editor->handle (window, message, wParam, lParam);
	}
	catch (...)
	{
		return 0; // out of memory: this message is skipped, the next refresh tries again
	}
}

LRESULT CALLBACK Editor::nameEditProcedure (HWND edit, UINT message, WPARAM wParam, LPARAM lParam)
{
	const auto original = reinterpret_cast<WNDPROC> (GetWindowLongPtrW (edit, GWLP_USERDATA));
	auto* editor = reinterpret_cast<Editor*> (GetWindowLongPtrW (GetParent (edit), GWLP_USERDATA));
	const bool endKey = wParam == VK_RETURN || wParam == VK_ESCAPE;
	if (editor && message == WM_KEYDOWN && endKey)
	{
		IPtr<Editor> keepAlive (editor);
		try
		{
			editor->endRename (wParam == VK_RETURN);
		}
		catch (...)
		{
			// Out of memory: the key did nothing, the box stays open.
		}
		return 0;
	}
	if (message == WM_CHAR && endKey)
		return 0; // already handled as a key: no beep
	const LRESULT result = CallWindowProcW (original, edit, message, wParam, lParam);
	// A host that runs dialog navigation must leave Enter and Escape to the box.
	return message == WM_GETDLGCODE ? result | DLGC_WANTALLKEYS : result;
}

LRESULT Editor::handle (HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
	switch (message)
	{
		case WM_TIMER:
			refresh ();
			return 0;
		case WM_COMMAND:
			onCommand (LOWORD (wParam), HIWORD (wParam));
			refresh ();
			return 0;
		case WM_DRAWITEM:
			drawButton (*reinterpret_cast<const DRAWITEMSTRUCT*> (lParam));
			return TRUE;
		case WM_CTLCOLOREDIT:
		{
			HDC dc = reinterpret_cast<HDC> (wParam);
			SetTextColor (dc, kText);
			SetBkColor (dc, kEditBackground);
			return reinterpret_cast<LRESULT> (editBrush.get ());
		}
		case WM_CTLCOLORSTATIC:
		{
			HDC dc = reinterpret_cast<HDC> (wParam);
			SetTextColor (dc, kText);
			SetBkColor (dc, kBackground);
			return reinterpret_cast<LRESULT> (backgroundBrush.get ());
		}
		case WM_ERASEBKGND:
		{
			RECT area;
			GetClientRect (window, &area);
			FillRect (reinterpret_cast<HDC> (wParam), &area, backgroundBrush.get ());
			return 1;
		}
		default:
			return DefWindowProcW (window, message, wParam, lParam);
	}
}

void Editor::onCommand (int id, int code)
{
	if (id == kNameEditId && code == EN_KILLFOCUS)
	{
		// Only what the user changed is a rename, however it was typed, pasted or dictated:
		// an untouched box holds the name the refresh last gave it, which a restore may
		// have made out of date since.
		const std::u16string text = boxText ();
		if (text != boxName)
			controller->renameSender (text);
		ShowWindow (nameEdit, SW_HIDE);
	}
	else if (code == BN_CLICKED && id == kClearButtonId)
		controller->sendRequest (kMessageClear);
	else if (code == BN_CLICKED && id == kMenuButtonId)
		showMenu ();
	else if (code == BN_CLICKED && id == kPrimaryButtonId)
		controller->sendRequest (kMessagePrimary);
}

void Editor::endRename (bool commit)
{
	// Handing the focus back ends the rename; it commits what the box holds, which after
	// Escape is the current name again, so nothing is sent.
	if (!commit)
		setTextIfChanged (nameEdit, boxName);
	SetFocus (panel.get ());
}

/** The panel goes away: a rename being typed ends as a change of focus ends it, which
    commits what the user changed. The keyboard goes back to the host's window: a host that
    keeps its frame would otherwise take keys as system keys until the user clicks. */
void Editor::commitOpenRename ()
{
	HWND focus = GetFocus ();
	if (!panel.get () || !focus || (focus != panel.get () && !IsChild (panel.get (), focus)))
		return;
	HWND host = GetParent (panel.get ());
	if (!host || !SetFocus (host))
		SetFocus (nullptr);
}

std::u16string Editor::boxText () const
{
	wchar_t text[kNameUnits + 1] = {};
	GetWindowTextW (nameEdit, text, int (std::size (text)));
	return reinterpret_cast<const char16_t*> (text);
}

void Editor::showMenu ()
{
	UniqueMenu menu (CreatePopupMenu ());
	if (!menu.get ())
		return;
	AppendMenuW (menu.get (), MF_STRING, kRenameItemId, L"Rename sender");
	RECT button {};
	GetWindowRect (GetDlgItem (panel.get (), kMenuButtonId), &button);
	const UINT chosen = static_cast<UINT> (
	    TrackPopupMenu (menu.get (), TPM_RETURNCMD | TPM_RIGHTALIGN, button.right, button.bottom, 0, panel.get (), nullptr));
	if (chosen != kRenameItemId)
		return;
	ShowWindow (nameEdit, SW_SHOW);
	SetFocus (nameEdit);
	SendMessageW (nameEdit, EM_SETSEL, 0, -1);
}

void Editor::drawButton (const DRAWITEMSTRUCT& item)
{
	const bool primary = item.CtlID == UINT (kPrimaryButtonId) && controller->cachedStatus ().role == 1;
	{
		GdiObject<HBRUSH> fill (CreateSolidBrush (primary ? kPrimaryFill : kButtonFill));
		FillRect (item.hDC, &item.rcItem, fill.get ());
	}
	SetBkMode (item.hDC, TRANSPARENT);
	SetTextColor (item.hDC, primary ? kPrimaryText : kButtonText);
	HGDIOBJ previousFont = SelectObject (item.hDC, bodyFont.get ());
	wchar_t text[64] = {};
	GetWindowTextW (item.hwndItem, text, int (std::size (text)));
	RECT area = item.rcItem;
	DrawTextW (item.hDC, text, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
	SelectObject (item.hDC, previousFont);
	if (item.itemState & ODS_FOCUS)
	{
		RECT focus = item.rcItem;
		InflateRect (&focus, -3, -3);
		DrawFocusRect (item.hDC, &focus);
	}
}

void Editor::refresh ()
{
	if (!panel.get ())
		return;
	try
	{
		refreshControls ();
	}
	catch (...)
	{
		// Out of memory (also a lock that found none to set itself up): this refresh is
		// skipped, the timer brings the next one.
	}
}

void Editor::refreshControls ()
{
	controller->sendRequest (kMessagePoll);
	const SenderStatus status = controller->cachedStatus ();
	// Never overwrite what the user typed. An open box the user has not touched follows
	// the name (a host may restore a project meanwhile), still selected to be typed over.
	const bool open = GetFocus () == nameEdit;
	if (!open || boxText () == boxName)
	{
		if (setTextIfChanged (nameEdit, status.name) && open)
			SendMessageW (nameEdit, EM_SETSEL, 0, -1);
		boxName = status.name;
	}
	setTextIfChanged (statusLine, status.text);
	ShowWindow (clearButton, status.auditionMode != 0 ? SW_SHOW : SW_HIDE);
	setTextIfChanged (primaryButton, status.role == 1 ? u"Primary sender" : u"Make primary");
	if (status.role != lastDrawnRole)
	{
		lastDrawnRole = status.role;
		InvalidateRect (primaryButton, nullptr, TRUE);
	}
}

} // namespace

IPlugView* createEditor (Controller& controller)
{
	return new Editor (controller);
}

void unregisterEditorClass ()
{
	HINSTANCE module = nullptr;
	GetModuleHandleExW (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
	                    reinterpret_cast<LPCWSTR> (&unregisterEditorClass), &module);
	UnregisterClassW (kPanelClass, module);
}

} // namespace tarvo
