#include "server/audioserver.h"

#include "shared/processwide.h"
#include "shared/statecodec.h"
#include "shared/steadyclock.h"
#include "shared/utf8.h"

#include <stdexcept>

namespace tarvo {

AudioServer::AudioServer ()
: serial (processWide ().serialCounter.fetch_add (1))
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
	stopRequested.exchange (false);
	serverFailed.exchange (false);
}

void AudioServer::stop () noexcept
{
	stopRequested.exchange (true);
	auditionMailbox.activeSessionId.exchange (0);
	captureEnabled.exchange (false);
}

void AudioServer::setLabel (std::u16string text)
{
	if (text.size () > kMaxLabelUnits)
		text.resize (kMaxLabelUnits);
	for (auto& unit : text)
	{
		if (unit < 32)
			unit = u' ';
	}
	if (text.empty ())
		text = kDefaultLabel;
	if (!isValidUtf16 (text))
		throw std::runtime_error ("Invalid name");

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
	const bool stale = steadyMillis () - auditionMailbox.lastProcessMs.load () >
	                   auditionMailbox.staleLimitMs.load ();
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

void AudioServer::followPrimaryGeneration () noexcept
{
	const uint32_t generation = processWide ().primaryGeneration.load ();
	if (generation != generationSnapshot)
	{
		generationSnapshot = generation;
		auditionMailbox.primaryChangeCount.fetch_add (1);
	}
}

void AudioServer::capture (const float* const* /*channels*/, int32_t /*channelCount*/,
                           int32_t frameCount, uint64_t /*silenceFlags*/,
                           double /*sampleRate*/) noexcept
{
	if (!captureEnabled.load () || frameCount < 1)
		return;
}

void AudioServer::capture (const double* const* /*channels*/, int32_t /*channelCount*/,
                           int32_t frameCount, uint64_t /*silenceFlags*/,
                           double /*sampleRate*/) noexcept
{
	if (!captureEnabled.load () || frameCount < 1)
		return;
}

} // namespace tarvo
