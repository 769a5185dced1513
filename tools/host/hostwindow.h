// What a host gives a plug-in's editor: a window to live in, a component handler, and
// (for us) a way to look at the result.
#pragma once

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

namespace tarvo::host {

/** Counts what the edit controller tells the host. */
class ComponentHandler : public Steinberg::Vst::IComponentHandler, public Steinberg::Vst::IComponentHandler2
{
public:
	std::atomic<int> dirtyTrue {0};
	std::atomic<int> dirtyFalse {0};

	Steinberg::tresult PLUGIN_API queryInterface (const Steinberg::TUID iid, void** obj) override;
	Steinberg::uint32 PLUGIN_API addRef () override { return 1; } // lives as long as the host
	Steinberg::uint32 PLUGIN_API release () override { return 1; }

	Steinberg::tresult PLUGIN_API beginEdit (Steinberg::Vst::ParamID) override { return Steinberg::kResultOk; }
	Steinberg::tresult PLUGIN_API performEdit (Steinberg::Vst::ParamID, Steinberg::Vst::ParamValue) override
	{
		return Steinberg::kResultOk;
	}
	Steinberg::tresult PLUGIN_API endEdit (Steinberg::Vst::ParamID) override { return Steinberg::kResultOk; }
	Steinberg::tresult PLUGIN_API restartComponent (Steinberg::int32) override { return Steinberg::kResultOk; }

	Steinberg::tresult PLUGIN_API setDirty (Steinberg::TBool state) override
	{
		(state ? dirtyTrue : dirtyFalse)++;
		return Steinberg::kResultOk;
	}
	Steinberg::tresult PLUGIN_API requestOpenEditor (Steinberg::FIDString) override { return Steinberg::kResultOk; }
	Steinberg::tresult PLUGIN_API startGroupEdit () override { return Steinberg::kResultOk; }
	Steinberg::tresult PLUGIN_API finishGroupEdit () override { return Steinberg::kResultOk; }
};

/** A top-level window sized for a view, with the view attached to it. */
class EditorWindow
{
public:
	EditorWindow () = default;
	~EditorWindow ();
	EditorWindow (const EditorWindow&) = delete;
	EditorWindow& operator= (const EditorWindow&) = delete;

	/** Opens the window and attaches the view; false with `error` set on failure. */
	bool open (Steinberg::IPlugView* view, const wchar_t* title, std::string& error);
	void close ();
	HWND window () const { return hostWindow; }
	/** The panel window the view made inside ours, found by its class name. */
	HWND childOfClass (const wchar_t* windowClass) const;

private:
	Steinberg::IPlugView* plugView {nullptr};
	HWND hostWindow {nullptr};
};

/** Handles every waiting window message; returns at once when there are none. */
void pumpMessages ();

/** The window's client area as 8-bit RGB rows, top to bottom. */
bool captureWindow (HWND window, uint32_t& width, uint32_t& height, std::vector<uint8_t>& rgb);

/** Writes the window's client area to a PNG file. */
bool saveScreenshot (HWND window, const std::string& path);

} // namespace tarvo::host
