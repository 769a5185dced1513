// What a visualiser does: find senders through their discovery records, connect to a
// sender's pipe, present the token, read frames and send commands.
#pragma once

#include "server/blockheader.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
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

/** Cuts the byte stream a sender writes into frames. */
class FrameParser
{
public:
	void append (const uint8_t* bytes, size_t count);
	enum class Result
	{
		frame,
		needMore,
		malformed, // not a frame header: the stream cannot be followed any further
	};
	Result next (Frame& frame);

private:
	std::vector<uint8_t> buffer;
	size_t start {0};
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
	void* pipe {nullptr};
	void* readEvent {nullptr};
	void* writeEvent {nullptr};
	FrameParser parser;
	uint64_t received {0};
};

/** Many senders followed from one thread, as a visualiser follows every sender at once:
    every connection reads through one I/O completion port, so a frame costs one read. */
class SenderGroup
{
public:
	SenderGroup ();
	~SenderGroup ();
	SenderGroup (const SenderGroup&) = delete;
	SenderGroup& operator= (const SenderGroup&) = delete;

	/** Connects to a sender and presents its token; false with `error` set. */
	bool add (const SenderRecord& sender, std::string& error);
	bool has (const std::string& id) const;
	size_t size () const;
	/** Sends bytes (commands) to one sender. */
	bool send (const std::string& id, const void* bytes, size_t size, std::string& error);

	/** Waits up to `timeoutMs` for data, then hands every whole frame that arrived to
	    `handle` with its sender; a sender that hung up (or sent what is not a frame) is
	    handed over once with a null frame and dropped. Returns the number of frames. */
	size_t poll (uint32_t timeoutMs, const std::function<void (const SenderRecord&, const Frame*)>& handle);

private:
	struct Connection;
	bool startRead (Connection& connection);
	void drop (Connection* connection);

	void* port {nullptr};
	void* writeEvent {nullptr};
	std::vector<std::unique_ptr<Connection>> connections;
	std::vector<std::unique_ptr<Connection>> closing; // until their last read comes back
	Frame frame;
};

} // namespace tarvo::client
