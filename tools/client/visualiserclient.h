// What a visualiser does: find senders through their discovery records, connect to a
// sender's pipe, present the token, read frames and send commands.
#pragma once

#include "server/blockheader.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tarvo::client {

struct SenderRecord
{
	std::filesystem::path file;
	int version {0};
	std::string id;
	std::string token;
	uint32_t pid {0};
	std::string label; // UTF-8
};

/** Parses a record's text; false when it is not a complete version-6 record. */
bool parseSenderRecord (const std::string& text, SenderRecord& record, std::string& error);

/** Reads one record, opened with full sharing, retrying for a moment while the sender
    replaces it. False when it vanished or is not a valid record. */
bool readSenderRecord (const std::filesystem::path& file, SenderRecord& record, std::string& error);

/** Every complete record in the directory; ".tmp" files and records that vanish while
    read are skipped. */
std::vector<SenderRecord> listSenders (const std::filesystem::path& directory);

std::string pipeNameFor (const std::string& id);

struct Frame
{
	BlockHeader header {};
	std::vector<float> samples; // interleaved, channelCount x frameCount
	bool isKeepAlive () const { return header.frameCount == 0; }
};

class VisualiserClient
{
public:
	VisualiserClient () = default;
	~VisualiserClient ();
	VisualiserClient (const VisualiserClient&) = delete;
	VisualiserClient& operator= (const VisualiserClient&) = delete;

	/** Opens the pipe of a sender without saying anything. */
	bool open (const std::string& pipeName, std::string& error);
	/** Opens the sender's pipe and sends the handshake line with its token. */
	bool connect (const SenderRecord& sender, std::string& error);
	bool sendBytes (const void* bytes, size_t size, std::string& error);
	bool isOpen () const { return pipe != nullptr; }
	void close ();

	enum class ReadResult
	{
		frame,
		timeout,
		closed,
		malformed,
	};
	/** Waits up to `timeoutMs` for the next whole frame. */
	ReadResult readFrame (Frame& frame, uint32_t timeoutMs);

	/** Bytes received so far, frames included. */
	uint64_t bytesReceived () const { return received; }

private:
	bool takeBufferedFrame (Frame& frame, bool& malformed);

	void* pipe {nullptr};
	void* readEvent {nullptr};
	void* writeEvent {nullptr};
	std::vector<uint8_t> buffer;
	size_t bufferStart {0};
	uint64_t received {0};
};

} // namespace tarvo::client
