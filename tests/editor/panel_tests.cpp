// The panel as the user sees it: its controls, what they show, their colours, the buttons,
// the rename flow, and what it leaves behind when hosts attach, remove and release it.
#include "linkedinstance.h"
#include "teststreams.h"

#include "hostwindow.h"
#include "pluginmodule.h"
#include "shared/messages.h"
#include "shared/processwide.h"

#include "pluginterfaces/gui/iplugview.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <chrono>
#include <string>
#include <utility>

using namespace tarvo;
using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr int kNameEdit = 101, kClearButton = 102, kPrimaryButton = 103, kMenuButton = 104;
constexpr COLORREF kButtonFace = RGB (48, 46, 62), kPrimaryFace = RGB (207, 194, 233);
constexpr COLORREF kButtonInk = RGB (228, 235, 241), kPrimaryInk = RGB (16, 20, 27);

/** Handles window messages for a while, as the host's message loop does. */
void pumpFor (int milliseconds)
{
	const auto end = std::chrono::steady_clock::now () + std::chrono::milliseconds (milliseconds);
	for (host::pumpMessages (); std::chrono::steady_clock::now () < end; host::pumpMessages ())
		MsgWaitForMultipleObjects (0, nullptr, FALSE, 10, QS_ALLINPUT);
}

std::wstring textOf (HWND window)
{
	wchar_t text[256] = {};
	GetWindowTextW (window, text, 256);
	return text;
}

RECT rectInParent (HWND child)
{
	RECT r;
	GetWindowRect (child, &r);
	MapWindowPoints (nullptr, GetParent (child), reinterpret_cast<POINT*> (&r), 2);
	return r;
}

uint32 referencesTo (Controller& controller)
{
	const uint32 count = controller.addRef () - 1;
	controller.release ();
	return count;
}

// What the host does once the panel's popup menu is open: choose the first item, or, given
// a view to release, remove and release it (noting whether the editor still holds its
// controller) and close the menu.
IPlugView* releasedView = nullptr;
Controller* watchedController = nullptr;
uint32 controllerReferencesInMenu = 0;
void CALLBACK inMenu (HWND, UINT, UINT_PTR timer, DWORD)
{
	HWND menu = FindWindowW (L"#32768", nullptr);
	if (!menu)
		return;
	KillTimer (nullptr, timer);
	if (releasedView)
	{
		releasedView->removed ();
		std::exchange (releasedView, nullptr)->release ();
		controllerReferencesInMenu = referencesTo (*watchedController);
		PostMessageW (menu, WM_KEYDOWN, VK_ESCAPE, 0);
	}
	else
		for (WPARAM key : {VK_DOWN, VK_RETURN})
			PostMessageW (menu, WM_KEYDOWN, key, 0);
}

class PanelTest : public ::testing::Test
{
protected:
	void open (Controller& controller)
	{
		controller.setComponentHandler (&handler);
		view = owned (controller.createView ("editor"));
		ASSERT_TRUE (view);
		std::string error;
		ASSERT_TRUE (window.open (view, L"panel test", error)) << error;
		panel = window.childOfClass (L"TarvoAudioServerPanel");
		ASSERT_NE (panel, nullptr);
		for (HWND child = GetWindow (panel, GW_CHILD); child; child = GetWindow (child, GW_HWNDNEXT))
			if ((GetWindowLongW (child, GWL_STYLE) & SS_TYPEMASK) == SS_CENTER)
				status = child;
		pumpFor (50);
	}

	void TearDown () override
	{
		window.close ();
		view = nullptr;
		processWide ().primarySerial = 0;
	}

	void click (int id)
	{
		SendMessageW (panel, WM_COMMAND, MAKEWPARAM (id, BN_CLICKED), reinterpret_cast<LPARAM> (GetDlgItem (panel, id)));
	}

	/** How many pixels of `area` (the panel's, as drawn) are `colour`. */
	int pixelsIn (RECT area, COLORREF colour)
	{
		uint32_t width = 0, height = 0;
		std::vector<uint8_t> rgb;
		int count = 0;
		if (host::captureWindow (panel, width, height, rgb))
			for (LONG y = area.top; y < area.bottom && uint32_t (y) < height; ++y)
				for (LONG x = area.left; x < area.right && uint32_t (x) < width; ++x)
				{
					const size_t at = (size_t (y) * width + size_t (x)) * 3;
					count += RGB (rgb[at], rgb[at + 1], rgb[at + 2]) == colour;
				}
		return count;
	}
	int pixelsIn (int id, COLORREF colour) { return pixelsIn (rectInParent (GetDlgItem (panel, id)), colour); }

	COLORREF primaryFace ()
	{
		const RECT r = rectInParent (GetDlgItem (panel, kPrimaryButton));
		for (COLORREF face : {kButtonFace, kPrimaryFace})
			if (pixelsIn (RECT {r.left + 6, r.top + 6, r.left + 7, r.top + 7}, face))
				return face;
		return CLR_INVALID;
	}

	/** Chooses "Rename sender" from the menu; the box it opens, with the focus. */
	HWND openRenameBox ()
	{
		SetTimer (nullptr, 0, 50, inMenu);
		click (kMenuButton); // returns once the menu closed
		HWND edit = GetDlgItem (panel, kNameEdit);
		EXPECT_TRUE (IsWindowVisible (edit)) << "the menu item did not open the rename box";
		EXPECT_EQ (GetFocus (), edit);
		return edit;
	}

	/** Types over the whole of the box's text, as a user does (which marks it changed). */
	static void type (HWND edit, const wchar_t* text)
	{
		SendMessageW (edit, EM_SETSEL, 0, -1);
		SendMessageW (edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM> (text));
	}

	host::ComponentHandler handler;
	IPtr<IPlugView> view;
	host::EditorWindow window;
	HWND panel {nullptr}, status {nullptr};
};

} // namespace

TEST_F (PanelTest, EveryControlIsWhereItBelongsAndThePrimaryAndClearButtonsAskTheProcessor)
{
	test::LinkedInstance instance;
	open (*instance.controller);
	const struct
	{
		const wchar_t* windowClass;
		int id;
		const wchar_t* text; // null: set by the refresh
		DWORD style;
		int x, y, width, height;
		bool visible;
	} expected[] = {
	    {L"TarvoAudioServerPanel", 0, L"Tarvo Audio Server", 0x52000000, 0, 0, 360, 210, true},
	    {L"Static", 0, L"Tarvo", 0x50000000, 18, 16, 65, 28, true},
	    {L"Static", 0, L"Audio Server", 0x50000000, 96, 20, 180, 24, true},
	    {L"Button", kMenuButton, L"...", 0x5001000B, 310, 15, 32, 28, true},
	    {L"Edit", kNameEdit, nullptr, 0x50810080, 20, 53, 320, 27, false},
	    {L"Button", kPrimaryButton, L"Make primary", 0x5001000B, 90, 92, 180, 34, true},
	    {L"Button", kClearButton, L"Clear Solo", 0x5001000B, 125, 139, 110, 28, false},
	    {L"Static", 0, nullptr, 0x50000001, 18, 183, 324, 22, true},
	};
	for (const auto& e : expected)
	{
		SCOPED_TRACE (testing::Message () << "control at " << e.x << "," << e.y);
		HWND found = ChildWindowFromPointEx (panel, POINT {e.x + 1, e.y + 1}, CWP_ALL); // else the panel itself
		wchar_t className[64] = {};
		GetClassNameW (found, className, 64);
		EXPECT_EQ (_wcsicmp (className, e.windowClass), 0) << "a window of class " << className;
		EXPECT_EQ (GetDlgCtrlID (found), e.id);
		const RECT r = rectInParent (found);
		EXPECT_EQ ((std::array<LONG, 4> {r.left, r.top, r.right - r.left, r.bottom - r.top}),
		           (std::array<LONG, 4> {e.x, e.y, e.width, e.height}));
		EXPECT_TRUE (!e.text || textOf (found) == e.text) << "its text is " << textOf (found);
		// An edit control takes WS_BORDER over and draws the border itself.
		const DWORD border = e.id == kNameEdit ? WS_BORDER : 0;
		EXPECT_EQ (DWORD (GetWindowLongW (found, GWL_STYLE)) | WS_VISIBLE | border, e.style);
		EXPECT_EQ (bool (IsWindowVisible (found)), e.visible);
	}
	const LONG frames = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE | WS_EX_STATICEDGE;
	EXPECT_EQ (GetWindowLongW (panel, GWL_EXSTYLE) & frames, 0) << "a frame of its own eats into the 360 x 210 the host gives";
	EXPECT_EQ (SendMessageW (GetDlgItem (panel, kNameEdit), EM_GETLIMITTEXT, 0, 0), 64);
	EXPECT_EQ (pixelsIn (RECT {0, 0, 10, 10}, RGB (24, 32, 39)), 100); // the panel's background
	EXPECT_GT (pixelsIn (rectInParent (status), RGB (223, 234, 241)), 20); // light text on it

	// A focused button's dotted focus rectangle lies 3 pixels inside its flat edge, on every
	// side: the edge is all face, the first row and column inside it are not.
	HWND primary = GetDlgItem (panel, kPrimaryButton);
	SetFocus (primary);
	pumpFor (100);
	const RECT b = rectInParent (primary), inner {b.left + 3, b.top + 3, b.right - 3, b.bottom - 3};
	const LONG width = b.right - b.left, height = b.bottom - b.top;
	EXPECT_EQ (pixelsIn (b, kButtonFace) - pixelsIn (inner, kButtonFace), width * height - (width - 6) * (height - 6));
	EXPECT_LT (pixelsIn (RECT {inner.left, inner.top, inner.right, inner.top + 1}, kButtonFace), width - 6);
	EXPECT_LT (pixelsIn (RECT {inner.left, inner.top, inner.left + 1, inner.bottom}, kButtonFace), height - 6);

	// The primary and clear buttons ask the processor.
	pumpFor (150);
	EXPECT_EQ (textOf (status), L"Waiting for Tarvo");
	const uint32_t generation = processWide ().primaryGeneration.load (); // bumped by every change of primary

	click (kPrimaryButton);
	EXPECT_EQ (textOf (primary), L"Primary sender"); // at once, not at the next refresh
	pumpFor (250);
	EXPECT_EQ (primaryFace (), kPrimaryFace);
	EXPECT_GT (pixelsIn (kPrimaryButton, kPrimaryInk), 20); // the label's strokes, in its own colour
	click (kPrimaryButton); // clicking the primary gives the role up
	pumpFor (250);
	EXPECT_EQ (textOf (primary), L"Make primary");
	EXPECT_EQ (primaryFace (), kButtonFace);
	EXPECT_GT (pixelsIn (kPrimaryButton, kButtonInk), 20);

	// Another instance taking the role over shows here as "Make primary" too.
	test::LinkedInstance other;
	other.controller->sendRequest (kMessagePrimary);
	pumpFor (250);
	EXPECT_EQ (instance.controller->cachedStatus ().role, 2);
	EXPECT_EQ (textOf (primary), L"Make primary");
	click (kPrimaryButton); // and takes it back
	EXPECT_EQ (other.poll ().role, 2);
	EXPECT_EQ (processWide ().primaryGeneration.load (), generation + 4);
	click (kClearButton);
	EXPECT_EQ (processWide ().primaryGeneration.load (), generation + 5);
}

TEST_F (PanelTest, WithoutAProcessorItWaitsAndShowsWhatTheCachedStatusSays)
{
	IPtr<Controller> controller = test::makeController ();
	controller->initialize (host::hostContext ());
	open (*controller);
	pumpFor (250);
	EXPECT_EQ (textOf (status), L"Waiting for audio processor");
	EXPECT_EQ (primaryFace (), kButtonFace);

	// The clear button follows the audition mode of the cached status.
	auto message = test::makeMessage (kMessageStatus);
	IAttributeList* a = message->getAttributes ();
	a->setString (kAttributeName, reinterpret_cast<const TChar*> (u"Drums"));
	a->setString (kAttributeStatus, reinterpret_cast<const TChar*> (u"Band Solo active"));
	a->setInt (kAttributeRole, 0);
	a->setInt (kAttributeConnected, 1);
	for (int64 mode : {1, 0})
	{
		a->setInt (kAttributeAuditionMode, mode);
		ASSERT_EQ (controller->notify (message), kResultOk);
		pumpFor (250);
		EXPECT_EQ (bool (IsWindowVisible (GetDlgItem (panel, kClearButton))), mode == 1);
		EXPECT_EQ (textOf (status), L"Band Solo active");
	}
	window.close ();
	view = nullptr;
	controller->terminate ();
}

TEST_F (PanelTest, RenamingThroughTheMenuSendsOneNameAndMarksTheProject)
{
	test::LinkedInstance instance;
	open (*instance.controller);
	HWND edit = GetDlgItem (panel, kNameEdit);
	EXPECT_NE (SendMessageW (edit, WM_GETDLGCODE, 0, 0) & DLGC_WANTALLKEYS, 0);
	// Enter and Escape end a rename as keys; their characters never reach the edit control
	// itself, which would only beep at them. (Behind the panel's handler of the box sits the
	// control's own procedure, which it passes everything else on to.)
	static std::vector<WPARAM> reached;
	static WNDPROC control;
	control = reinterpret_cast<WNDPROC> (GetWindowLongPtrW (edit, GWLP_USERDATA));
	WNDPROC spy = [] (HWND window, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
		if (message == WM_CHAR)
			reached.push_back (wParam);
		return CallWindowProcW (control, window, message, wParam, lParam);
	};
	SetWindowLongPtrW (edit, GWLP_USERDATA, reinterpret_cast<LONG_PTR> (spy));
	for (WPARAM typed : {WPARAM (VK_RETURN), WPARAM (VK_ESCAPE), WPARAM ('x')})
		SendMessageW (edit, WM_CHAR, typed, 0);
	SetWindowLongPtrW (edit, GWLP_USERDATA, reinterpret_cast<LONG_PTR> (control));
	EXPECT_EQ (reached, std::vector<WPARAM> {'x'});
	SetWindowTextW (edit, L"Audio Server");

	// While the box has the focus the refresh leaves the typing alone.
	openRenameBox ();
	EXPECT_EQ (textOf (edit), L"Audio Server");
	SendMessageW (edit, WM_CHAR, 'O', 0); // the name is selected: what is typed replaces it
	EXPECT_EQ (textOf (edit), L"O");
	type (edit, L"Overheads");
	pumpFor (350);
	EXPECT_EQ (textOf (edit), L"Overheads");
	EXPECT_GT (pixelsIn (kNameEdit, RGB (14, 22, 28)), 4000); // the box's own darker ground
	EXPECT_GT (pixelsIn (kNameEdit, RGB (223, 234, 241)), 20); // and the name in the panel's ink
	EXPECT_EQ (handler.dirtyTrue.load (), 0);

	SetFocus (GetDlgItem (panel, kPrimaryButton)); // losing the focus commits
	pumpFor (150);
	EXPECT_EQ (handler.dirtyTrue.load (), 1);
	EXPECT_EQ (instance.poll ().name, u"Overheads");

	// A rename typed over the name (unless empty: the name left as it is) and ended with `key`
	// (none: by taking the focus away); what the box and the processor then hold, and the
	// project's marks so far.
	const auto rename = [&] (const std::wstring& typed, WPARAM key, const std::u16string& name, int marks) {
		SCOPED_TRACE (testing::Message () << "ended by key " << key << " at " << marks << " marks");
		openRenameBox ();
		if (!typed.empty ())
			type (edit, typed.c_str ());
		if (key)
			SendMessageW (edit, WM_KEYDOWN, key, 0);
		else
			SetFocus (GetDlgItem (panel, kPrimaryButton));
		pumpFor (150);
		EXPECT_FALSE (IsWindowVisible (edit));
		EXPECT_EQ (textOf (edit), std::wstring (name.begin (), name.end ()));
		EXPECT_EQ (instance.poll ().name, name);
		EXPECT_EQ (handler.dirtyTrue.load (), marks);
	};
	rename (L"", 0, u"Overheads", 1); // nothing sent
	rename (L"Room", VK_RETURN, u"Room", 2);
	rename (L"Typo", VK_ESCAPE, u"Room", 2); // restores the name, sends nothing, leaves the project alone
	// An emoji typed at the box's limit of 64 units: the half that fits is dropped and
	// the rest of the name is taken.
	rename (std::wstring (63, L'n') + L"\U0001F600", VK_RETURN, std::u16string (63, u'n'), 3);
	// Halves of characters pasted anywhere else become U+FFFD; the rest of the name stays.
	rename (L"Kick \xD83D in \xDE00", VK_RETURN, u"Kick \uFFFD in \uFFFD", 4);
	rename (std::wstring (64, L'f'), VK_RETURN, std::u16string (64, u'f'), 5); // a name as long as names go, whole

	// The box open and untouched while the host restores a project by a way that leaves the
	// focus where it is (its menu, an undo): the box follows the restored name, and closing
	// the window keeps it and leaves the project alone. The keyboard goes back to the host.
	openRenameBox ();
	ASSERT_EQ (instance.component->setState (owned (new test::ScriptedStream (test::stateRecord ("Restored")))), kResultOk);
	instance.poll ();
	pumpFor (250);
	EXPECT_EQ (textOf (edit), L"Restored");
	ASSERT_EQ (GetFocus (), edit);
	view->removed ();
	EXPECT_EQ (GetFocus (), window.window ());
	window.close ();
	EXPECT_EQ (instance.poll ().name, u"Restored");
	EXPECT_EQ (handler.dirtyTrue.load (), 5);

	// The window closes while a new name is being typed: the host removes the view and
	// then destroys its window, or destroys its window first. Either way the name is
	// taken, once; after Escape nothing is.
	enum Closing { removedFirst, destroyedFirst, afterEscape };
	for (const Closing how : {removedFirst, destroyedFirst, afterEscape})
	{
		SCOPED_TRACE (testing::Message () << "closing " << how);
		open (*instance.controller);
		HWND box = openRenameBox ();
		type (box, how == removedFirst ? L"Closed mid-rename" : how == destroyedFirst ? L"Destroyed mid-rename" : L"Discarded");
		if (how == afterEscape)
			SendMessageW (box, WM_KEYDOWN, VK_ESCAPE, 0);
		if (how == destroyedFirst)
			DestroyWindow (window.window ());
		else
			window.close ();
		EXPECT_EQ (instance.poll ().name, how == removedFirst ? u"Closed mid-rename" : u"Destroyed mid-rename");
		EXPECT_EQ (handler.dirtyTrue.load (), how == removedFirst ? 6 : 7);
		window.close ();
	}
}

TEST_F (PanelTest, AttachingAgainAndHostsThatDestroyOrReleaseEarly)
{
	test::LinkedInstance instance;
	Controller& controller = *instance.controller;
	const uint32 withoutView = referencesTo (controller);
	open (controller);
	EXPECT_EQ (view->attached (window.window (), "HWND"), kResultFalse); // a second attach changes nothing
	EXPECT_EQ (FindWindowExW (window.window (), panel, L"TarvoAudioServerPanel", nullptr), nullptr);

	// Removed and attached again: a new panel; the fonts of the first are deleted, the
	// brushes live as long as the view.
	auto gdiObjects = [&] {
		HDC dc = GetDC (panel);
		std::vector<HGDIOBJ> objects {
		    reinterpret_cast<HGDIOBJ> (SendMessageW (GetDlgItem (panel, kPrimaryButton), WM_GETFONT, 0, 0)),
		    reinterpret_cast<HGDIOBJ> (SendMessageW (GetWindow (panel, GW_CHILD), WM_GETFONT, 0, 0)), // the title
		    reinterpret_cast<HGDIOBJ> (SendMessageW (panel, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM> (dc), 0)),
		    reinterpret_cast<HGDIOBJ> (SendMessageW (panel, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM> (dc), 0))};
		ReleaseDC (panel, dc);
		return objects;
	};
	const auto first = gdiObjects ();
	EXPECT_NE (first[1], first[0]);
	for (HGDIOBJ object : first)
		EXPECT_NE (GetObjectType (object), 0u);
	HWND search = CreateWindowExW (0, L"EDIT", L"", WS_CHILD, 0, 0, 80, 20, window.window (), nullptr, nullptr, nullptr);
	SetFocus (search); // a box of the host's own has the keyboard, and keeps it
	ASSERT_EQ (GetFocus (), search);
	ASSERT_EQ (view->removed (), kResultOk);
	EXPECT_EQ (GetFocus (), search);
	EXPECT_EQ (window.childOfClass (L"TarvoAudioServerPanel"), nullptr);
	ASSERT_EQ (view->attached (window.window (), "HWND"), kResultOk);
	panel = window.childOfClass (L"TarvoAudioServerPanel");
	ASSERT_NE (panel, nullptr);
	const auto second = gdiObjects ();
	EXPECT_EQ (GetObjectType (first[0]), 0u) << "the body font was not deleted";
	EXPECT_EQ (GetObjectType (first[1]), 0u) << "the title font was not deleted";
	EXPECT_EQ (second[2], first[2]);

	// The host destroys its window, and the panel with it, before removing the view: the
	// view forgets the panel and attaches again.
	DestroyWindow (window.window ());
	host::EditorWindow again;
	std::string error;
	EXPECT_TRUE (again.open (view, L"again", error)) << error;
	again.close ();
	window.close ();
	view = nullptr; // the last reference: the view goes, and every GDI object with it
	for (HGDIOBJ object : second)
		EXPECT_EQ (GetObjectType (object), 0u) << "a GDI object outlived the view";
	EXPECT_EQ (referencesTo (controller), withoutView);

	// The host releases the view while its menu runs: the editor lives until the click
	// has been handled, then goes.
	releasedView = controller.createView ("editor");
	watchedController = &controller;
	HWND parent = CreateWindowExW (0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 260, nullptr,
	                               nullptr, nullptr, nullptr);
	ASSERT_EQ (releasedView->attached (parent, "HWND"), kResultOk);
	panel = FindWindowExW (parent, nullptr, L"TarvoAudioServerPanel", nullptr);
	SetTimer (nullptr, 0, 50, inMenu);
	click (kMenuButton);
	EXPECT_EQ (controllerReferencesInMenu, withoutView + 1);
	EXPECT_EQ (referencesTo (controller), withoutView);
	DestroyWindow (parent);
}
