// The panel as the user sees it: its controls, what they show, their colours, the rename
// flow and what it leaves behind.
#include "linkedinstance.h"

#include "hostwindow.h"
#include "pluginmodule.h"
#include "shared/messages.h"
#include "shared/processwide.h"

#include "pluginterfaces/gui/iplugview.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

using namespace tarvo;
using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

constexpr int kNameEdit = 101, kClearButton = 102, kPrimaryButton = 103, kMenuButton = 104;

/** Handles window messages for a while, as the host's message loop does. */
void pumpFor (int milliseconds)
{
	const auto end = std::chrono::steady_clock::now () + std::chrono::milliseconds (milliseconds);
	while (std::chrono::steady_clock::now () < end)
	{
		host::pumpMessages ();
		MsgWaitForMultipleObjects (0, nullptr, FALSE, 10, QS_ALLINPUT);
	}
	host::pumpMessages ();
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

/** The colour of one pixel of a window's client area, as drawn. */
COLORREF pixel (HWND window, int x, int y)
{
	uint32_t width = 0, height = 0;
	std::vector<uint8_t> rgb;
	if (!host::captureWindow (window, width, height, rgb) || uint32_t (x) >= width || uint32_t (y) >= height)
		return CLR_INVALID;
	const size_t at = (size_t (y) * width + size_t (x)) * 3;
	return RGB (rgb[at], rgb[at + 1], rgb[at + 2]);
}

/** Chooses the first item of the popup menu once it is open. */
void CALLBACK chooseFirstMenuItem (HWND, UINT, UINT_PTR timer, DWORD)
{
	if (HWND menu = FindWindowW (L"#32768", nullptr))
	{
		KillTimer (nullptr, timer);
		PostMessageW (menu, WM_KEYDOWN, VK_DOWN, 0);
		PostMessageW (menu, WM_KEYDOWN, VK_RETURN, 0);
	}
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

	void openRenameBox ()
	{
		SetTimer (nullptr, 0, 50, chooseFirstMenuItem);
		click (kMenuButton); // returns once the menu closed
	}

	host::ComponentHandler handler;
	IPtr<IPlugView> view;
	host::EditorWindow window;
	HWND panel {nullptr};
};

} // namespace

TEST_F (PanelTest, EveryControlIsWhereItBelongs)
{
	test::LinkedInstance instance;
	open (*instance.controller);

	wchar_t className[64] = {};
	GetClassNameW (panel, className, 64);
	EXPECT_STREQ (className, L"TarvoAudioServerPanel");
	EXPECT_EQ (textOf (panel), L"Tarvo Audio Server");
	EXPECT_EQ (DWORD (GetWindowLongW (panel, GWL_STYLE)), DWORD (0x52000000));
	RECT panelRect = rectInParent (panel);
	EXPECT_EQ (panelRect.left, 0);
	EXPECT_EQ (panelRect.right - panelRect.left, 360);
	EXPECT_EQ (panelRect.bottom - panelRect.top, 210);

	struct Expected
	{
		const wchar_t* windowClass;
		int id;
		const wchar_t* text; // null: set by the refresh
		DWORD style;
		int x, y, width, height;
		bool visible;
	} expected[] = {
	    {L"Static", 0, L"Tarvo", 0x50000000, 18, 16, 65, 28, true},
	    {L"Static", 0, L"Audio Server", 0x50000000, 96, 20, 180, 24, true},
	    {L"Button", kMenuButton, L"...", 0x5001000B, 310, 15, 32, 28, true},
	    {L"Edit", kNameEdit, nullptr, 0x50810080, 20, 53, 320, 27, false},
	    {L"Button", kPrimaryButton, L"Make primary", 0x5001000B, 90, 92, 180, 34, true},
	    {L"Button", kClearButton, L"Clear Solo", 0x5001000B, 125, 139, 110, 28, false},
	    {L"Static", 0, nullptr, 0x50000001, 18, 183, 324, 22, true},
	};
	HFONT titleFont = nullptr, bodyFont = nullptr;
	for (const auto& e : expected)
	{
		HWND found = nullptr;
		for (HWND child = GetWindow (panel, GW_CHILD); child; child = GetWindow (child, GW_HWNDNEXT))
		{
			GetClassNameW (child, className, 64);
			const RECT r = rectInParent (child);
			if (_wcsicmp (className, e.windowClass) == 0 && GetDlgCtrlID (child) == e.id && r.left == e.x && r.top == e.y)
				found = child;
		}
		ASSERT_NE (found, nullptr) << "no control at " << e.x << "," << e.y;
		const RECT r = rectInParent (found);
		EXPECT_EQ (r.right - r.left, e.width);
		EXPECT_EQ (r.bottom - r.top, e.height);
		if (e.text)
			EXPECT_EQ (textOf (found), e.text);
		// An edit control takes WS_BORDER over and draws the border itself.
		const DWORD border = _wcsicmp (e.windowClass, L"Edit") == 0 ? WS_BORDER : 0;
		EXPECT_EQ (DWORD (GetWindowLongW (found, GWL_STYLE)) | WS_VISIBLE | border, e.style)
		    << "control at " << e.x << "," << e.y;
		EXPECT_EQ (bool (IsWindowVisible (found)), e.visible) << "control at " << e.x << "," << e.y;
		HFONT font = reinterpret_cast<HFONT> (SendMessageW (found, WM_GETFONT, 0, 0));
		if (e.x == 18 && e.y == 16)
			titleFont = font;
		else if (!bodyFont)
			bodyFont = font;
		else
			EXPECT_EQ (font, bodyFont);
	}
	EXPECT_NE (titleFont, nullptr);
	EXPECT_NE (titleFont, bodyFont);
	EXPECT_EQ (SendMessageW (GetDlgItem (panel, kNameEdit), EM_GETLIMITTEXT, 0, 0), 64);
}

TEST_F (PanelTest, WithoutAProcessorItWaitsInTheNormalColours)
{
	FUnknown* made = Controller::createInstance (nullptr);
	IPtr<Controller> controller = static_cast<Controller*> (FUnknownPtr<IEditController> (made).getInterface ());
	made->release ();
	controller->initialize (host::hostContext ());
	open (*controller);
	pumpFor (250);

	HWND status = nullptr;
	for (HWND child = GetWindow (panel, GW_CHILD); child; child = GetWindow (child, GW_HWNDNEXT))
		if ((GetWindowLongW (child, GWL_STYLE) & SS_TYPEMASK) == SS_CENTER)
			status = child;
	EXPECT_EQ (textOf (status), L"Waiting for audio processor");
	HWND primary = GetDlgItem (panel, kPrimaryButton);
	EXPECT_EQ (textOf (primary), L"Make primary");
	const RECT r = rectInParent (primary);
	EXPECT_EQ (pixel (panel, r.left + 6, r.top + 6), RGB (48, 46, 62));
	EXPECT_EQ (pixel (panel, 5, 5), RGB (24, 32, 39)); // the panel's background
	EXPECT_FALSE (IsWindowVisible (GetDlgItem (panel, kClearButton)));

	// The clear button follows the audition mode of the cached status.
	auto status1 = test::makeMessage (kMessageStatus);
	IAttributeList* a = status1->getAttributes ();
	a->setString (kAttributeName, reinterpret_cast<const TChar*> (u"Drums"));
	a->setString (kAttributeStatus, reinterpret_cast<const TChar*> (u"Band Solo active"));
	a->setInt (kAttributeRole, 0);
	a->setInt (kAttributeConnected, 1);
	a->setInt (kAttributeAuditionMode, 1);
	ASSERT_EQ (controller->notify (status1), kResultOk);
	pumpFor (250);
	EXPECT_TRUE (IsWindowVisible (GetDlgItem (panel, kClearButton)));
	EXPECT_EQ (textOf (status), L"Band Solo active");
	a->setInt (kAttributeAuditionMode, 0);
	ASSERT_EQ (controller->notify (status1), kResultOk);
	pumpFor (250);
	EXPECT_FALSE (IsWindowVisible (GetDlgItem (panel, kClearButton)));
	window.close ();
	view = nullptr;
	controller->terminate ();
}

TEST_F (PanelTest, StatusAndPrimaryButtonFollowTheProcessor)
{
	test::LinkedInstance instance;
	open (*instance.controller);
	pumpFor (150);
	HWND primary = GetDlgItem (panel, kPrimaryButton);
	HWND status = nullptr;
	for (HWND child = GetWindow (panel, GW_CHILD); child; child = GetWindow (child, GW_HWNDNEXT))
		if ((GetWindowLongW (child, GWL_STYLE) & SS_TYPEMASK) == SS_CENTER)
			status = child;
	EXPECT_EQ (textOf (status), L"Waiting for Tarvo");

	click (kPrimaryButton);
	pumpFor (250);
	EXPECT_EQ (textOf (primary), L"Primary sender");
	const RECT r = rectInParent (primary);
	EXPECT_EQ (pixel (panel, r.left + 6, r.top + 6), RGB (207, 194, 233));

	click (kPrimaryButton); // clicking the primary gives the role up
	pumpFor (250);
	EXPECT_EQ (textOf (primary), L"Make primary");
	EXPECT_EQ (pixel (panel, r.left + 6, r.top + 6), RGB (48, 46, 62));

	// Another instance taking the role over shows here as "Make primary" too.
	test::LinkedInstance other;
	other.controller->sendRequest (kMessagePrimary);
	pumpFor (250);
	EXPECT_EQ (instance.controller->cachedStatus ().role, 2);
	EXPECT_EQ (textOf (primary), L"Make primary");
}

TEST_F (PanelTest, ASecondAttachIsRefusedAndChangesNothing)
{
	test::LinkedInstance instance;
	open (*instance.controller);
	EXPECT_EQ (view->attached (window.window (), "HWND"), kResultFalse);
	EXPECT_EQ (window.childOfClass (L"TarvoAudioServerPanel"), panel);
	EXPECT_EQ (FindWindowExW (window.window (), panel, L"TarvoAudioServerPanel", nullptr), nullptr);
	EXPECT_TRUE (IsWindow (panel));
}

TEST_F (PanelTest, RenamingThroughTheMenuSendsOneNameAndMarksTheProject)
{
	test::LinkedInstance instance;
	open (*instance.controller);
	HWND edit = GetDlgItem (panel, kNameEdit);

	openRenameBox ();
	ASSERT_TRUE (IsWindowVisible (edit)) << "the menu item did not open the rename box";
	EXPECT_EQ (GetFocus (), edit);
	EXPECT_EQ (textOf (edit), L"Audio Server");

	// While the box has the focus the refresh leaves the typing alone.
	SetWindowTextW (edit, L"Overheads");
	pumpFor (350);
	EXPECT_EQ (textOf (edit), L"Overheads");
	EXPECT_EQ (handler.dirtyTrue.load (), 0);

	SetFocus (GetDlgItem (panel, kPrimaryButton)); // losing the focus commits
	pumpFor (150);
	EXPECT_FALSE (IsWindowVisible (edit));
	EXPECT_EQ (handler.dirtyTrue.load (), 1);
	EXPECT_EQ (instance.poll ().name, u"Overheads");
	EXPECT_EQ (textOf (edit), L"Overheads");

	// Leaving the name as it is sends nothing.
	openRenameBox ();
	ASSERT_TRUE (IsWindowVisible (edit));
	SetFocus (GetDlgItem (panel, kPrimaryButton));
	pumpFor (150);
	EXPECT_EQ (handler.dirtyTrue.load (), 1);

	// Enter commits; Escape restores the name, sends nothing and leaves the project alone.
	openRenameBox ();
	SetWindowTextW (edit, L"Room");
	SendMessageW (edit, WM_KEYDOWN, VK_RETURN, 0);
	pumpFor (150);
	EXPECT_FALSE (IsWindowVisible (edit));
	EXPECT_EQ (handler.dirtyTrue.load (), 2);
	EXPECT_EQ (instance.poll ().name, u"Room");
	openRenameBox ();
	SetWindowTextW (edit, L"Typo");
	SendMessageW (edit, WM_KEYDOWN, VK_ESCAPE, 0);
	pumpFor (150);
	EXPECT_FALSE (IsWindowVisible (edit));
	EXPECT_EQ (textOf (edit), L"Room");
	EXPECT_EQ (handler.dirtyTrue.load (), 2);
	EXPECT_EQ (instance.poll ().name, u"Room");
	EXPECT_NE (SendMessageW (edit, WM_GETDLGCODE, 0, 0) & DLGC_WANTALLKEYS, 0);
}

namespace {

// The host's hand inside the modal menu: removes and releases the view, notes whether the
// editor still holds its controller, and closes the menu.
IPlugView* releasedView = nullptr;
Controller* watchedController = nullptr;
uint32 controllerReferencesInMenu = 0;
void CALLBACK releaseViewInMenu (HWND, UINT, UINT_PTR timer, DWORD)
{
	HWND menu = FindWindowW (L"#32768", nullptr);
	if (!menu)
		return;
	KillTimer (nullptr, timer);
	releasedView->removed ();
	releasedView->release ();
	controllerReferencesInMenu = watchedController->addRef () - 1;
	watchedController->release ();
	PostMessageW (menu, WM_KEYDOWN, VK_ESCAPE, 0);
}

} // namespace

TEST_F (PanelTest, TheViewOutlivesAHostThatDestroysOrReleasesItEarly)
{
	test::LinkedInstance instance;
	Controller& controller = *instance.controller;
	auto references = [&] {
		const uint32 count = controller.addRef () - 1;
		controller.release ();
		return count;
	};
	const uint32 withoutView = references ();

	// The host destroys its window, and the panel with it, before removing the view: the
	// view forgets the panel and attaches again.
	open (controller);
	DestroyWindow (window.window ());
	host::EditorWindow second;
	std::string error;
	EXPECT_TRUE (second.open (view, L"again", error)) << error;
	second.close ();
	window.close ();
	view = nullptr;
	EXPECT_EQ (references (), withoutView);

	// The host releases the view while its menu runs: the editor lives until the click
	// has been handled, then goes.
	releasedView = controller.createView ("editor");
	watchedController = &controller;
	HWND parent = CreateWindowExW (0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 260, nullptr,
	                               nullptr, nullptr, nullptr);
	ASSERT_EQ (releasedView->attached (parent, "HWND"), kResultOk);
	panel = FindWindowExW (parent, nullptr, L"TarvoAudioServerPanel", nullptr);
	SetTimer (nullptr, 0, 50, releaseViewInMenu);
	click (kMenuButton);
	EXPECT_EQ (controllerReferencesInMenu, withoutView + 1);
	EXPECT_EQ (references (), withoutView);
	DestroyWindow (parent);
}

TEST_F (PanelTest, ReattachingBuildsANewPanelAndTheViewReleasesItsGdiObjects)
{
	test::LinkedInstance instance;
	open (*instance.controller);
	auto gdiObjects = [&] {
		std::vector<HGDIOBJ> objects;
		objects.push_back (reinterpret_cast<HGDIOBJ> (SendMessageW (GetDlgItem (panel, kPrimaryButton), WM_GETFONT, 0, 0)));
		HWND title = GetWindow (panel, GW_CHILD);
		for (HWND child = title; child; child = GetWindow (child, GW_HWNDNEXT))
			if (textOf (child) == L"Tarvo")
				objects.push_back (reinterpret_cast<HGDIOBJ> (SendMessageW (child, WM_GETFONT, 0, 0)));
		HDC dc = GetDC (panel);
		objects.push_back (reinterpret_cast<HGDIOBJ> (SendMessageW (panel, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM> (dc), 0)));
		objects.push_back (reinterpret_cast<HGDIOBJ> (SendMessageW (panel, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM> (dc), 0)));
		ReleaseDC (panel, dc);
		return objects;
	};
	const auto first = gdiObjects ();
	ASSERT_EQ (first.size (), 4u);
	for (HGDIOBJ object : first)
		EXPECT_NE (GetObjectType (object), 0u);

	ASSERT_EQ (view->removed (), kResultOk);
	EXPECT_EQ (window.childOfClass (L"TarvoAudioServerPanel"), nullptr);
	ASSERT_EQ (view->attached (window.window (), "HWND"), kResultOk);
	panel = window.childOfClass (L"TarvoAudioServerPanel");
	ASSERT_NE (panel, nullptr);
	const auto second = gdiObjects ();
	EXPECT_EQ (GetObjectType (first[0]), 0u) << "the first attachment's body font was not deleted";
	EXPECT_EQ (GetObjectType (first[1]), 0u) << "the first attachment's title font was not deleted";
	EXPECT_EQ (second[2], first[2]); // the brushes live as long as the view

	window.close ();
	view = nullptr; // the last reference: the view is destroyed
	for (HGDIOBJ object : second)
		EXPECT_EQ (GetObjectType (object), 0u) << "a GDI object outlived the view";
}
