// tarvo-host run --editor: the plug-in's panel in a host window while the audio runs on a
// thread of its own, as in a DAW, with what the panel shows reported as it changes; and
// tarvo-host snapshot: the panel's picture for hosts' plug-in browsers.
#include "hosttool.h"
#include "hostwindow.h"

#include "shared/utf8.h"

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

int snapshot (const std::string& bundle, const std::string& out)
{
	auto module = loadBundle (bundle);
	if (!module)
		return 1;
	const auto classes = host::describeClasses (module->factory ());
	std::string error;
	std::unique_ptr<host::PluginInstance> instance;
	std::filesystem::path file = out;
	for (const auto& d : classes)
		if (!instance && std::strcmp (d.info.category, kVstAudioEffectClass) == 0)
		{
			instance = host::PluginInstance::create (module->factory (), d.info.cid, error);
			// Where hosts look for it: the class ID without dashes, then "_snapshot".
			std::string cid = host::uidToString (d.info.cid);
			cid.erase (std::remove (cid.begin (), cid.end (), '-'), cid.end ());
			if (out.empty ())
				file = module->file ().parent_path ().parent_path () / "Resources" / "Snapshots" /
				       (cid + "_snapshot.png");
		}
	IPtr<IPlugView> view = instance && instance->controller
	                           ? owned (instance->controller->createView (ViewType::kEditor))
	                           : nullptr;
	host::EditorWindow window;
	if (!view || !window.open (view, L"tarvo-host", error))
	{
		std::fprintf (stderr, "tarvo-host: cannot open the editor: %s\n", error.empty () ? "no view" : error.c_str ());
		return 1;
	}
	// The panel as a user first sees it with no visualiser about: once the processor's
	// first status says so, and a moment later, so that every control has painted it.
	const auto deadline = std::chrono::steady_clock::now () + std::chrono::seconds (10);
	std::string state;
	auto settled = std::chrono::steady_clock::time_point::max ();
	while (std::chrono::steady_clock::now () < std::min (deadline, settled))
	{
		host::pumpMessages ();
		MsgWaitForMultipleObjects (0, nullptr, FALSE, 20, QS_ALLINPUT);
		const std::string now = panelState (window.childOfClass (L"TarvoAudioServerPanel"));
		if (settled == std::chrono::steady_clock::time_point::max () && now != state &&
		    now.find ("\"Waiting for Tarvo\"") != std::string::npos)
			settled = std::chrono::steady_clock::now () + std::chrono::milliseconds (300);
		state = now;
	}
	host::pumpMessages ();
	std::error_code ec;
	if (file.has_parent_path ())
		std::filesystem::create_directories (file.parent_path (), ec);
	const bool shot = settled != std::chrono::steady_clock::time_point::max () &&
	                  host::saveScreenshot (window.window (), file.string ());
	window.close ();
	if (!shot)
	{
		std::fprintf (stderr, "tarvo-host: no snapshot: the panel shows %s\n", state.c_str ());
		return 1;
	}
	std::printf ("wrote %s (panel: %s)\n", file.string ().c_str (), state.c_str ());
	return 0;
}

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
