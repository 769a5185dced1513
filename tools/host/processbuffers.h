// Buffers and ProcessData for driving a processor, 32- or 64-bit, in place or not.
#pragma once

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"

#include <vector>

namespace tarvo::host {

class ProcessBuffers
{
public:
	ProcessBuffers (Steinberg::int32 channels, Steinberg::int32 maxFrames,
	                Steinberg::int32 symbolicSampleSize, bool inPlace = false);

	ProcessBuffers (const ProcessBuffers&) = delete;
	ProcessBuffers& operator= (const ProcessBuffers&) = delete;

	/** Prepares the ProcessData for a call of `frames` samples (at most maxFrames). */
	Steinberg::Vst::ProcessData& prepare (Steinberg::int32 frames);

	void setInput (Steinberg::int32 channel, Steinberg::int32 frame, double value);
	double input (Steinberg::int32 channel, Steinberg::int32 frame) const;
	double output (Steinberg::int32 channel, Steinberg::int32 frame) const;
	/** Fills every output sample with a marker, to see what the processor wrote. */
	void fillOutputs (double value);

	Steinberg::Vst::AudioBusBuffers& inputBus () { return inBus; }
	Steinberg::Vst::AudioBusBuffers& outputBus () { return outBus; }
	Steinberg::Vst::ProcessContext& context () { return processContext; }
	Steinberg::int32 channels () const { return channelCount; }
	bool isDouble () const { return sampleSize == Steinberg::Vst::kSample64; }

private:
	Steinberg::int32 channelCount;
	Steinberg::int32 maxFrames;
	Steinberg::int32 sampleSize;
	bool inPlace;
	std::vector<std::vector<float>> in32, out32;
	std::vector<std::vector<double>> in64, out64;
	std::vector<float*> inPtr32, outPtr32;
	std::vector<double*> inPtr64, outPtr64;
	Steinberg::Vst::AudioBusBuffers inBus {};
	Steinberg::Vst::AudioBusBuffers outBus {};
	Steinberg::Vst::ProcessContext processContext {};
	Steinberg::Vst::ProcessData data {};
};

} // namespace tarvo::host
