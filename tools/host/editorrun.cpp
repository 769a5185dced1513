// tarvo-host run --editor: the plug-in's panel in a host window while the audio runs on a
// thread of its own, as in a DAW, with what the panel shows reported as it changes.
#include "hosttool.h"
#include "hostwindow.h"

#include "shared/utf8.h"

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace tarvo::hosttool {
namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;

/** The panel's visible state, read from its controls. */
std::string panelState (HWND panel)
{
	if (!panel)
		return "no panel";
	std::string status = "?";
	for (HWND child = GetWindow (panel, GW_CHILD); child; child = GetWindow (child, GW_HWNDNEXT))
	{
		wchar_t className[32] = {};
		GetClassNameW (child, className, 32);
		if (_wcsicmp (className, L"STATIC") == 0 && (GetWindowLongW (child, GWL_STYLE) & SS_TYPEMASK) == SS_CENTER)
		{
			wchar_t text[128] = {};
			GetWindowTextW (child, text, 128);
			status = tarvo::toUtf8 (reinterpret_cast<const char16_t*> (text));
		}
	}
	wchar_t primary[64] = {};
	GetWindowTextW (GetDlgItem (panel, 103), primary, 64);
	const bool clearShown = IsWindowVisible (GetDlgItem (panel, 102));
	return "status \"" + status + "\" | button \"" + tarvo::toUtf8 (reinterpret_cast<const char16_t*> (primary)) +
	       "\" | " + (clearShown ? "\"Clear Solo\" shown" : "no clear button");
}

} // namespace

bool runWithEditor (host::PluginInstance& instance, const RunOptions& options, const std::function<void ()>& processAll,
                    std::chrono::steady_clock::time_point started)
{
	if (!instance.controller)
	{
		std::fprintf (stderr, "tarvo-host: the effect has no edit controller\n");
		return false;
	}
	host::ComponentHandler handler;
	instance.controller->setComponentHandler (&handler);
	IPtr<IPlugView> view = owned (instance.controller->createView (ViewType::kEditor));
	host::EditorWindow window;
	std::string error;
	if (!view || !window.open (view, L"tarvo-host", error))
	{
		std::fprintf (stderr, "tarvo-host: cannot open the editor: %s\n", view ? error.c_str () : "no view");
		instance.controller->setComponentHandler (nullptr);
		return false;
	}
	ViewRect size;
	view->getSize (&size);
	std::printf ("Editor open: %d x %d panel\n", size.getWidth (), size.getHeight ());

	std::atomic<bool> finished {false};
	std::thread audio ([&] {
		processAll ();
		finished = true;
	});
	const std::string& screenshot = options.screenshot;
	const double shotAt = options.screenshotAt.value_or (-1.0);
	bool shot = false;
	std::string shown;
	while (!finished.load ())
	{
		host::pumpMessages ();
		MsgWaitForMultipleObjects (0, nullptr, FALSE, 20, QS_ALLINPUT);
		const double t = std::chrono::duration<double> (std::chrono::steady_clock::now () - started).count ();
		const std::string state = panelState (window.childOfClass (L"TarvoAudioServerPanel"));
		if (state != shown)
		{
			std::printf ("  %6.2f s  panel: %s\n", t, state.c_str ());
			std::fflush (stdout);
			shown = state;
		}
		if (!screenshot.empty () && !shot && shotAt >= 0.0 && t >= shotAt)
			shot = host::saveScreenshot (window.window (), screenshot);
	}
	audio.join ();
	host::pumpMessages ();
	if (!screenshot.empty () && !shot)
		shot = host::saveScreenshot (window.window (), screenshot);
	if (!screenshot.empty ())
		std::printf ("Screenshot       %s%s\n", screenshot.c_str (), shot ? "" : " could not be taken");
	window.close ();
	view = nullptr;
	instance.controller->setComponentHandler (nullptr);
	std::printf ("Project marked modified %d times\n", handler.dirtyTrue.load ());
	return shot || screenshot.empty ();
}

} // namespace tarvo::hosttool
