// What the process callback learns from the host's mode and transport for one call.
#pragma once

#include "server/audioserver.h"

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"

namespace tarvo {

struct CallFacts
{
	/** Offline rendering or host recording: auditions are suspended. */
	bool suspend {false};
	/** Timeline position of the call's first frame, kUnknownPosition when the host gives none. */
	int64_t position {kUnknownPosition};
};

inline CallFacts readCallFacts (const Steinberg::Vst::ProcessData& data) noexcept
{
	using Steinberg::Vst::ProcessContext;
	const ProcessContext* context = data.processContext;
	CallFacts facts;
	facts.suspend = data.processMode == Steinberg::Vst::kOffline ||
	                (context && (context->state & ProcessContext::kRecording));
	if (context && (context->state & ProcessContext::kContTimeValid))
		facts.position = context->continousTimeSamples;
	else if (context && (context->state & ProcessContext::kPlaying))
		facts.position = context->projectTimeSamples;
	return facts;
}

} // namespace tarvo
