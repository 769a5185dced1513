#include "teststreams.h"

#include "pluginterfaces/vst/vstspeaker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace tarvo::test {

using namespace Steinberg;

tresult PLUGIN_API ScriptedStream::read (void* buffer, int32 numBytes, int32* numBytesRead)
{
	const int call = reads++;
	size_t count = std::min<size_t> (numBytes < 0 ? 0 : size_t (numBytes), bytes.size () - position);
	tresult result = kResultOk;
	if (call == failCall)
	{
		count = count > size_t (shortBy) ? count - shortBy : 0;
		result = failResult;
	}
	std::memcpy (buffer, bytes.data () + position, count);
	position += count;
	if (numBytesRead && call != silentCall)
		*numBytesRead = static_cast<int32> (count);
	return result;
}

tresult PLUGIN_API ScriptedStream::write (void* buffer, int32 numBytes, int32* numBytesWritten)
{
	const int call = writes++;
	size_t count = numBytes < 0 ? 0 : size_t (numBytes);
	tresult result = kResultOk;
	if (call == failCall)
	{
		count = count > size_t (shortBy) ? count - shortBy : 0;
		result = failResult;
	}
	bytes.append (static_cast<const char*> (buffer), count);
	if (numBytesWritten)
		*numBytesWritten = static_cast<int32> (count);
	return result;
}

tresult PLUGIN_API ScriptedStream::seek (int64 pos, int32 mode, int64* result)
{
	if (mode == kIBSeekSet && pos >= 0 && size_t (pos) <= bytes.size ())
		position = size_t (pos);
	if (result)
		*result = static_cast<int64> (position);
	return kResultOk;
}

tresult PLUGIN_API ScriptedStream::tell (int64* pos)
{
	if (pos)
		*pos = static_cast<int64> (position);
	return kResultOk;
}

std::string stateRecord (const std::string& label, std::optional<uint32_t> announcedLength)
{
	const uint32_t length = announcedLength.value_or (static_cast<uint32_t> (label.size ()));
	std::string record = "TRN1";
	for (int i = 0; i < 4; ++i)
		record.push_back (static_cast<char> (length >> (8 * i)));
	return record + label;
}

host::PluginModule& builtModule ()
{
	static std::unique_ptr<host::PluginModule> module = [] {
		std::string error;
		auto loaded = host::PluginModule::load (TARVO_MODULE_FILE, error);
		if (!loaded)
			ADD_FAILURE () << error;
		return loaded;
	}();
	if (!module)
		throw std::runtime_error ("the built module could not be loaded");
	return *module;
}

std::unique_ptr<host::PluginInstance> builtInstance (int32 channels, int32 maxBlock, double rate, bool activate)
{
	using namespace Steinberg::Vst;
	std::string error;
	PClassInfo info;
	builtModule ().factory ()->getClassInfo (0, &info);
	auto instance = host::PluginInstance::create (builtModule ().factory (), info.cid, error);
	if (!instance)
		throw std::runtime_error (error);
	SpeakerArrangement arrangement = channels == 1 ? SpeakerArr::kMono : SpeakerArr::kStereo;
	EXPECT_EQ (instance->processor->setBusArrangements (&arrangement, 1, &arrangement, 1), kResultOk);
	ProcessSetup setup {kRealtime, kSample64, maxBlock, rate};
	EXPECT_EQ (instance->processor->setupProcessing (setup), kResultOk);
	EXPECT_EQ (activate ? instance->component->setActive (true) : kResultOk, kResultOk);
	return instance;
}

IPtr<Controller> makeController ()
{
	FUnknown* made = Controller::createInstance (nullptr);
	IPtr<Controller> controller = static_cast<Controller*> (FUnknownPtr<Vst::IEditController> (made).getInterface ());
	made->release ();
	return controller;
}

} // namespace tarvo::test
