#include "server/audioserver.h"

#include "server/serverrun.h"
#include "server/wireprotocol.h"

#include "shared/processwide.h"
#include "shared/statecodec.h"
#include "shared/steadyclock.h"
#include "shared/utf8.h"

#include <algorithm>
#include <stdexcept>

#include <windows.h>

namespace tarvo {

void AudioServer::HandleCloser::operator() (void* handle) const noexcept
{
	CloseHandle (handle);
}

AudioServer::AudioServer ()
: stopEvent (CreateEventW (nullptr, TRUE, FALSE, nullptr))
, serial (processWide ().serialCounter.fetch_add (1))
, generationSnapshot (processWide ().primaryGeneration.load ())
{
}

AudioServer::~AudioServer ()
{
	stop ();
	// The primary sender's departure withdraws the role and clears every audition.
	uint32_t expected = serial;
	if (processWide ().primarySerial.compare_exchange_strong (expected, 0))
		processWide ().primaryGeneration.fetch_add (1);
}

void AudioServer::start () noexcept
{
	if (serverThread.joinable ())
		return;
	if (!stopEvent)
	{
		serverFailed.exchange (true);
		return;
	}
	stopRequested.exchange (false);
	serverFailed.exchange (false);
	ResetEvent (stopEvent.get ());
	try
	{
		serverThread = std::thread (&AudioServer::threadLoop, this);
	}
	catch (...)
	{
		serverFailed.exchange (true);
		captureEnabled.exchange (false);
		auditionMailbox.activeSessionId.exchange (0);
	}
}

void AudioServer::stop () noexcept
{
	stopRequested.exchange (true);
	auditionMailbox.activeSessionId.exchange (0);
	if (stopEvent)
		SetEvent (stopEvent.get ());
	if (serverThread.joinable ())
		serverThread.join ();
	captureEnabled.exchange (false);
}

void AudioServer::threadLoop () noexcept
{
	while (!stopRequested.load ())
	{
		try
		{
			ServerRun (*this).run ();
		}
		catch (...)
		{
			// Whatever failed, the run is over: report it and try a fresh one shortly.
			serverFailed.exchange (true);
			captureEnabled.exchange (false);
			auditionMailbox.activeSessionId.exchange (0);
			if (!stopRequested.load ())
				WaitForSingleObject (stopEvent.get (), 1000);
		}
	}
}

void AudioServer::setLabel (std::u16string text)
{
	text = cleanLabel (std::move (text));
	std::lock_guard<std::mutex> lock (labelMutex);
	currentLabel = std::move (text);
	labelGen.fetch_add (1);
}

std::u16string AudioServer::label () const
{
	std::lock_guard<std::mutex> lock (labelMutex);
	return currentLabel;
}

SenderStatus AudioServer::status () const
{
	SenderStatus result;
	result.name = label ();

	const uint32_t primary = processWide ().primarySerial.load ();
	result.role = primary == serial ? 1 : primary != 0 ? 2 : 0;
	result.connected = captureEnabled.load ();

	const uint64_t word = auditionMailbox.stateWord.load ();
	const bool stale = processorStale ();
	if (serverFailed.load ())
		result.text = u"Connection unavailable";
	else if (!result.connected)
		result.text = u"Waiting for Tarvo";
	else if (auditionMailbox.primaryChangeCount.load () != 0)
		result.text = u"Full audio \u00B7 cleared";
	else if (stale)
		result.text = u"Connected \u00B7 waiting for audio";
	else if (word & 0x10u)
	{
		result.auditionMode = static_cast<int64_t> (AuditionMode::spectrum);
		result.text = u"Spectrum audition active";
	}
	else if (word & 0x0Fu)
	{
		result.auditionMode = static_cast<int64_t> (AuditionMode::bandSolo);
		result.text = u"Band Solo active";
	}
	else
		result.text = u"Connected \u00B7 full audio";
	return result;
}

bool AudioServer::processorStale () const noexcept
{
	// The stamp is read before the clock, so a call landing in between cannot make the
	// difference wrap around and look stale.
	const uint64_t lastProcess = auditionMailbox.lastProcessMs.load ();
	const uint64_t now = steadyMillis ();
	return isStale (now, lastProcess, auditionMailbox.staleLimitMs.load ());
}

uint32_t AudioServer::blockMicros () const noexcept
{
	constexpr uint32_t kRecentMillis = 100;
	const uint64_t latest = capturedBlock.load (std::memory_order_relaxed);
	const uint32_t age = uint32_t (steadyMillis ()) - uint32_t (latest >> 32);
	return age <= kRecentMillis ? uint32_t (latest) : 0;
}

void AudioServer::followPrimaryGeneration () noexcept
{
	const uint32_t generation = processWide ().primaryGeneration.load ();
	if (generation != generationSnapshot)
	{
		generationSnapshot = generation;
		auditionMailbox.primaryChangeCount.fetch_add (1);
	}
}

template <typename Sample>
void AudioServer::captureSamples (const Sample* const* channels, int32_t channelCount, int32_t frameCount,
                                  uint64_t silenceFlags, double sampleRate) noexcept
{
	if (!captureEnabled.load () || frameCount < 1)
		return;
	const double micros = double (std::min<int64_t> (frameCount, kMaxBlockFrames)) / sampleRate * 1e6;
	capturedBlock.store (uint64_t (uint32_t (callMs)) << 32 | (micros >= 1.0 && micros < 1e9 ? uint32_t (micros) : 0),
	                     std::memory_order_relaxed);
	captureRing.write (channels, channelCount, frameCount, silenceFlags, sampleRate, callPosition,
	                   auditionMailbox.activeSessionId.load (), callMs);
}

void AudioServer::capture (const float* const* channels, int32_t channelCount, int32_t frameCount,
                           uint64_t silenceFlags, double sampleRate) noexcept
{
	captureSamples (channels, channelCount, frameCount, silenceFlags, sampleRate);
}

void AudioServer::capture (const double* const* channels, int32_t channelCount, int32_t frameCount,
                           uint64_t silenceFlags, double sampleRate) noexcept
{
	captureSamples (channels, channelCount, frameCount, silenceFlags, sampleRate);
}

} // namespace tarvo
