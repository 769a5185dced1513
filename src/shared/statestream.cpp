#include "shared/statestream.h"

#include "shared/senderstatus.h"
#include "shared/statecodec.h"
#include "shared/utf8.h"

namespace tarvo {

using namespace Steinberg;

bool readStateStream (IBStream* stream, std::u16string& label)
{
	if (!stream)
		return false;

	uint8_t header[kStateHeaderSize] = {};
	int32 delivered = 0;
	const tresult headerResult = stream->read (header, kStateHeaderSize, &delivered);
	if (delivered == 0)
	{
		label = kDefaultLabel;
		return true;
	}
	if (headerResult != kResultOk || delivered != static_cast<int32> (kStateHeaderSize))
		return false;
	const auto length = decodeStateHeader (header);
	if (!length)
		return false;

	std::string bytes (*length, '\0');
	delivered = 0;
	const tresult bodyResult = stream->read (bytes.data (), static_cast<int32> (*length), &delivered);
	if (bodyResult != kResultOk || delivered != static_cast<int32> (*length))
		return false;

	auto decoded = decodeStateLabel (bytes);
	if (!decoded)
		return false;
	label = std::move (*decoded);
	return true;
}

tresult writeStateStream (IBStream* stream, const std::u16string& label)
{
	if (!stream)
		return kInvalidArgument;

	const std::string bytes = toUtf8 (label);
	auto header = encodeStateHeader (static_cast<uint32_t> (bytes.size ()));
	int32 written = 0;
	if (stream->write (header.data (), static_cast<int32> (header.size ()), &written) != kResultOk ||
	    written != static_cast<int32> (header.size ()))
		return kResultFalse;

	written = 0;
	// The label bytes go out in a call of their own, also when there are none.
	if (stream->write (const_cast<char*> (bytes.data ()), static_cast<int32> (bytes.size ()),
	                   &written) != kResultOk ||
	    written != static_cast<int32> (bytes.size ()))
		return kResultFalse;
	return kResultOk;
}

} // namespace tarvo
