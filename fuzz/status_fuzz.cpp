// A "tarvo.status" message with any attributes of any length, present or not.
#include "controller/statusmessage.h"
#include "shared/utf8.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

class FuzzedAttributes : public Steinberg::Vst::IAttributeList
{
public:
	explicit FuzzedAttributes (FuzzedDataProvider& input)
	{
		for (const char* id : {"name", "status"})
			if (input.ConsumeBool ())
			{
				std::u16string text;
				const size_t units = input.ConsumeIntegralInRange<size_t> (0, 300);
				for (size_t i = 0; i < units && input.remaining_bytes () >= 2; ++i)
					text.push_back (char16_t (input.ConsumeIntegral<uint16_t> ()));
				strings[id] = text;
			}
		for (const char* id : {"role", "connected", "auditionMode"})
			if (input.ConsumeBool ())
				ints[id] = input.ConsumeBool () ? input.ConsumeIntegralInRange<int64_t> (-2, 4) : input.ConsumeIntegral<int64_t> ();
	}

	Steinberg::tresult PLUGIN_API queryInterface (const Steinberg::TUID, void** obj) override
	{
		*obj = nullptr;
		return Steinberg::kNoInterface;
	}
	Steinberg::uint32 PLUGIN_API addRef () override { return 1; }
	Steinberg::uint32 PLUGIN_API release () override { return 1; }

	Steinberg::tresult PLUGIN_API setInt (AttrID, Steinberg::int64) override { return Steinberg::kResultFalse; }
	Steinberg::tresult PLUGIN_API getInt (AttrID id, Steinberg::int64& value) override
	{
		auto it = ints.find (id);
		if (it == ints.end ())
			return Steinberg::kResultFalse;
		value = it->second;
		return Steinberg::kResultTrue;
	}
	Steinberg::tresult PLUGIN_API setFloat (AttrID, double) override { return Steinberg::kResultFalse; }
	Steinberg::tresult PLUGIN_API getFloat (AttrID, double&) override { return Steinberg::kResultFalse; }
	Steinberg::tresult PLUGIN_API setString (AttrID, const Steinberg::Vst::TChar*) override { return Steinberg::kResultFalse; }
	Steinberg::tresult PLUGIN_API getString (AttrID id, Steinberg::Vst::TChar* string, Steinberg::uint32 sizeInBytes) override
	{
		auto it = strings.find (id);
		if (it == strings.end ())
			return Steinberg::kResultFalse;
		// As the SDK's host attribute list does: copy what fits, no terminator promised.
		std::memcpy (string, it->second.data (), std::min<size_t> (it->second.size () * 2, sizeInBytes));
		return Steinberg::kResultTrue;
	}
	Steinberg::tresult PLUGIN_API setBinary (AttrID, const void*, Steinberg::uint32) override { return Steinberg::kResultFalse; }
	Steinberg::tresult PLUGIN_API getBinary (AttrID, const void*&, Steinberg::uint32&) override { return Steinberg::kResultFalse; }

private:
	std::map<std::string, std::u16string> strings;
	std::map<std::string, int64_t> ints;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
	FuzzedDataProvider input (data, size);
	FuzzedAttributes attributes (input);
	tarvo::SenderStatus status;
	status.name = u"before";
	const auto result = tarvo::decodeStatusAttributes (&attributes, status);
	if (result != Steinberg::kResultOk)
	{
		if (status.name != u"before")
			std::abort (); // a refused message changes nothing
		return 0;
	}
	if (status.role < 0 || status.role > 2 || status.auditionMode < 0 || status.auditionMode > 2 ||
	    status.name.size () > 64 || status.text.size () > 127)
		std::abort ();
	return 0;
}
