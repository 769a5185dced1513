// The processor's saved state as a host hands it back: any bytes at all.
#include "shared/statestream.h"
#include "shared/utf8.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

/** A stream over fixed bytes that may deliver fewer than asked or report an error. */
class BytesStream : public Steinberg::IBStream
{
public:
	BytesStream (const uint8_t* data, size_t size, uint8_t quirks) : bytes (reinterpret_cast<const char*> (data), size), quirks (quirks) {}

	Steinberg::tresult PLUGIN_API queryInterface (const Steinberg::TUID, void** obj) override
	{
		*obj = nullptr;
		return Steinberg::kNoInterface;
	}
	Steinberg::uint32 PLUGIN_API addRef () override { return 1; }
	Steinberg::uint32 PLUGIN_API release () override { return 1; }

	Steinberg::tresult PLUGIN_API read (void* buffer, Steinberg::int32 numBytes, Steinberg::int32* numBytesRead) override
	{
		size_t count = numBytes < 0 ? 0 : std::min (size_t (numBytes), bytes.size () - position);
		if ((quirks & 1) && count > 0 && reads == 1)
			count -= 1; // short second read
		std::memcpy (buffer, bytes.data () + position, count);
		position += count;
		if (numBytesRead)
			*numBytesRead = Steinberg::int32 (count);
		return (quirks & 2) && reads++ == 0 ? Steinberg::kResultFalse : (reads++, Steinberg::kResultOk);
	}
	Steinberg::tresult PLUGIN_API write (void* buffer, Steinberg::int32 numBytes, Steinberg::int32* written) override
	{
		written_.append (static_cast<const char*> (buffer), size_t (numBytes));
		if (written)
			*written = numBytes;
		return Steinberg::kResultOk;
	}
	Steinberg::tresult PLUGIN_API seek (Steinberg::int64, Steinberg::int32, Steinberg::int64*) override { return Steinberg::kResultFalse; }
	Steinberg::tresult PLUGIN_API tell (Steinberg::int64*) override { return Steinberg::kResultFalse; }

	std::string written_;

private:
	std::string bytes;
	size_t position {0};
	uint8_t quirks;
	int reads {0};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
	if (size < 1)
		return 0;
	BytesStream stream (data + 1, size - 1, data[0]);
	std::u16string label = u"unchanged";
	if (!tarvo::readStateStream (&stream, label))
	{
		if (label != u"unchanged")
			std::abort (); // a refused state changes nothing
		return 0;
	}
	// What is accepted is a valid label that survives a round trip.
	if (label.size () > 64 || !tarvo::isValidUtf16 (label))
		std::abort ();
	BytesStream out (nullptr, 0, 0);
	if (tarvo::writeStateStream (&out, label) != Steinberg::kResultOk)
		std::abort ();
	BytesStream back (reinterpret_cast<const uint8_t*> (out.written_.data ()), out.written_.size (), 0);
	std::u16string again;
	if (!tarvo::readStateStream (&back, again) || (again != label && !(label.empty () && again == u"Audio Server")))
		std::abort ();
	return 0;
}
