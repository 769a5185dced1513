#include "processbuffers.h"

namespace tarvo::host {

using namespace Steinberg;
using namespace Steinberg::Vst;

ProcessBuffers::ProcessBuffers (int32 channels, int32 frames, int32 symbolicSampleSize, bool shared)
: channelCount (channels), maxFrames (frames), sampleSize (symbolicSampleSize), inPlace (shared)
{
	const size_t n = static_cast<size_t> (channels);
	const size_t length = static_cast<size_t> (frames > 0 ? frames : 1);
	in32.assign (n, std::vector<float> (length, 0.0f));
	in64.assign (n, std::vector<double> (length, 0.0));
	if (!inPlace)
	{
		out32.assign (n, std::vector<float> (length, 0.0f));
		out64.assign (n, std::vector<double> (length, 0.0));
	}
	for (size_t c = 0; c < n; ++c)
	{
		inPtr32.push_back (in32[c].data ());
		inPtr64.push_back (in64[c].data ());
		outPtr32.push_back (inPlace ? in32[c].data () : out32[c].data ());
		outPtr64.push_back (inPlace ? in64[c].data () : out64[c].data ());
	}
	processContext.sampleRate = 48000.0;
}

ProcessData& ProcessBuffers::prepare (int32 frames)
{
	inBus.numChannels = channelCount;
	outBus.numChannels = channelCount;
	if (sampleSize == kSample64)
	{
		inBus.channelBuffers64 = inPtr64.data ();
		outBus.channelBuffers64 = outPtr64.data ();
	}
	else
	{
		inBus.channelBuffers32 = inPtr32.data ();
		outBus.channelBuffers32 = outPtr32.data ();
	}
	data.processMode = kRealtime;
	data.symbolicSampleSize = sampleSize;
	data.numSamples = frames < maxFrames ? frames : maxFrames;
	data.numInputs = 1;
	data.numOutputs = 1;
	data.inputs = &inBus;
	data.outputs = &outBus;
	data.inputParameterChanges = nullptr;
	data.outputParameterChanges = nullptr;
	data.inputEvents = nullptr;
	data.outputEvents = nullptr;
	data.processContext = &processContext;
	return data;
}

void ProcessBuffers::setInput (int32 channel, int32 frame, double value)
{
	if (sampleSize == kSample64)
		in64[channel][frame] = value;
	else
		in32[channel][frame] = static_cast<float> (value);
}

double ProcessBuffers::input (int32 channel, int32 frame) const
{
	return sampleSize == kSample64 ? in64[channel][frame] : in32[channel][frame];
}

double ProcessBuffers::output (int32 channel, int32 frame) const
{
	return sampleSize == kSample64 ? outPtr64[channel][frame] : outPtr32[channel][frame];
}

void ProcessBuffers::fillOutputs (double value)
{
	for (int32 c = 0; c < channelCount; ++c)
	{
		for (int32 f = 0; f < maxFrames; ++f)
		{
			outPtr32[c][f] = static_cast<float> (value);
			outPtr64[c][f] = value;
		}
	}
}

} // namespace tarvo::host
