#include "visualiserclient.h"

#include "server/wireprotocol.h"

#include <windows.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <nlohmann/json.hpp>

namespace tarvo::client {

bool parseSenderRecord (const std::string& text, SenderRecord& record, std::string& error)
{
	const nlohmann::json json = nlohmann::json::parse (text, nullptr, false);
	if (!json.is_object ())
	{
		error = "not a JSON object";
		return false;
	}
	// Members may come in any order, and members this client does not know are skipped.
	auto str = [&] (const char* key, std::string& out) {
		auto it = json.find (key);
		if (it == json.end () || !it->is_string ())
			return false;
		out = it->get<std::string> ();
		return true;
	};
	auto num = [&] (const char* key, uint64_t& out) {
		auto it = json.find (key);
		if (it == json.end () || !it->is_number_unsigned () || it->get<uint64_t> () > 0xFFFFFFFFu)
			return false;
		out = it->get<uint64_t> ();
		return true;
	};
	uint64_t version = 0, pid = 0;
	if (!num ("version", version) || !str ("id", record.id) || !str ("token", record.token) ||
	    !num ("pid", pid) || !str ("label", record.label))
	{
		error = "a member is missing or of the wrong type";
		return false;
	}
	if (version != kProtocolVersion)
	{
		error = "protocol version " + std::to_string (version) + " is not " + std::to_string (kProtocolVersion);
		return false;
	}
	auto isHex48 = [] (const std::string& s) {
		return s.size () == 48 && s.find_first_not_of ("0123456789abcdef") == std::string::npos;
	};
	if (!isHex48 (record.id) || !isHex48 (record.token))
	{
		error = "id or token is not 48 lower-case hex characters";
		return false;
	}
	record.version = static_cast<int> (version);
	record.pid = static_cast<uint32_t> (pid);
	return true;
}

bool readSenderRecord (const std::filesystem::path& file, SenderRecord& record, std::string& error)
{
	for (int attempt = 0; attempt < 20; ++attempt)
	{
		HANDLE handle = CreateFileW (file.c_str (), GENERIC_READ,
		                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
		                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
		if (handle == INVALID_HANDLE_VALUE)
		{
			const DWORD code = GetLastError ();
			if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
			{
				error = "the record vanished";
				return false;
			}
			// Being replaced at this very moment: try again shortly.
			std::this_thread::sleep_for (std::chrono::milliseconds (5));
			continue;
		}
		std::string text;
		char chunk[1024];
		DWORD got = 0;
		bool ok = true;
		while ((ok = ReadFile (handle, chunk, sizeof chunk, &got, nullptr)) && got > 0 && text.size () < 65536)
			text.append (chunk, got);
		CloseHandle (handle);
		if (!ok)
		{
			std::this_thread::sleep_for (std::chrono::milliseconds (5));
			continue;
		}
		record.file = file;
		return parseSenderRecord (text, record, error);
	}
	error = "the record stayed unreadable";
	return false;
}

std::vector<SenderRecord> listSenders (const std::filesystem::path& directory)
{
	std::vector<SenderRecord> senders;
	std::error_code ec;
	for (std::filesystem::directory_iterator it (directory, ec), end; !ec && it != end; it.increment (ec))
	{
		const auto& path = it->path ();
		if (path.extension () != ".json")
			continue; // ".json.tmp" is a record being written
		SenderRecord record;
		std::string error;
		if (readSenderRecord (path, record, error))
			senders.push_back (std::move (record));
	}
	return senders;
}

std::string pipeNameFor (const std::string& id)
{
	return "\\\\.\\pipe\\TarvoProto-" + id;
}

namespace {

HANDLE openPipe (const std::string& pipeName, std::string& error)
{
	HANDLE handle = INVALID_HANDLE_VALUE;
	// Between two clients the server needs a moment to listen again: the pipe is busy.
	for (int attempt = 0; attempt < 100; ++attempt)
	{
		handle = CreateFileA (pipeName.c_str (), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
		                      FILE_FLAG_OVERLAPPED, nullptr);
		if (handle != INVALID_HANDLE_VALUE || GetLastError () != ERROR_PIPE_BUSY)
			break;
		std::this_thread::sleep_for (std::chrono::milliseconds (10));
	}
	if (handle == INVALID_HANDLE_VALUE)
	{
		error = "cannot open " + pipeName + " (error " + std::to_string (GetLastError ()) + ")";
		return nullptr;
	}
	return handle;
}

/** Writes all of `bytes` to an overlapped pipe and waits for it; the event's low bit is
    set so that the write does not also report to a completion port. */
bool writeAll (HANDLE pipe, HANDLE event, const void* bytes, size_t size, std::string& error)
{
	OVERLAPPED overlapped {};
	overlapped.hEvent = reinterpret_cast<HANDLE> (reinterpret_cast<uintptr_t> (event) | 1);
	DWORD written = 0;
	if (!WriteFile (pipe, bytes, static_cast<DWORD> (size), nullptr, &overlapped) && GetLastError () != ERROR_IO_PENDING)
	{
		error = "write failed (error " + std::to_string (GetLastError ()) + ")";
		return false;
	}
	if (!GetOverlappedResult (pipe, &overlapped, &written, TRUE))
	{
		error = "write failed (error " + std::to_string (GetLastError ()) + ")";
		return false;
	}
	if (written != size)
	{
		error = "short write";
		return false;
	}
	return true;
}

} // namespace

VisualiserClient::~VisualiserClient ()
{
	close ();
}

bool VisualiserClient::open (const std::string& pipeName, std::string& error)
{
	close ();
	HANDLE handle = openPipe (pipeName, error);
	if (!handle)
		return false;
	pipe = handle;
	readEvent = CreateEventW (nullptr, TRUE, FALSE, nullptr);
	writeEvent = CreateEventW (nullptr, TRUE, FALSE, nullptr);
	if (!readEvent || !writeEvent)
	{
		error = "no event for the pipe";
		close ();
		return false;
	}
	parser = FrameParser ();
	received = 0;
	return true;
}

bool VisualiserClient::connect (const SenderRecord& sender, std::string& error)
{
	if (!open (pipeNameFor (sender.id), error))
		return false;
	const std::string line = handshakeLine (sender.token);
	return sendBytes (line.data (), line.size (), error);
}

bool VisualiserClient::sendBytes (const void* bytes, size_t size, std::string& error)
{
	if (!pipe)
	{
		error = "not connected";
		return false;
	}
	return writeAll (pipe, writeEvent, bytes, size, error);
}

void VisualiserClient::close ()
{
	if (pipe)
		CloseHandle (pipe);
	if (readEvent)
		CloseHandle (readEvent);
	if (writeEvent)
		CloseHandle (writeEvent);
	pipe = readEvent = writeEvent = nullptr;
}

void FrameParser::append (const uint8_t* bytes, size_t count)
{
	if (start > 0 && start == buffer.size ())
	{
		buffer.clear ();
		start = 0;
	}
	else if (start > 65536)
	{
		buffer.erase (buffer.begin (), buffer.begin () + static_cast<std::ptrdiff_t> (start));
		start = 0;
	}
	buffer.insert (buffer.end (), bytes, bytes + count);
}

FrameParser::Result FrameParser::next (Frame& frame)
{
	const size_t available = buffer.size () - start;
	if (available < sizeof (BlockHeader))
		return Result::needMore;
	BlockHeader header;
	std::memcpy (&header, buffer.data () + start, sizeof header);
	if (std::memcmp (header.magic, kBlockMagic, 4) != 0 || header.version != kProtocolVersion ||
	    header.channelCount < 1 || header.channelCount > 2 || header.frameCount > kMaxBlockFrames)
		return Result::malformed;
	const size_t length = frameLength (header);
	if (available < length)
		return Result::needMore;
	frame.header = header;
	frame.samples.resize (size_t (header.channelCount) * header.frameCount);
	std::memcpy (frame.samples.data (), buffer.data () + start + sizeof header, length - sizeof header);
	start += length;
	return Result::frame;
}

VisualiserClient::ReadResult VisualiserClient::readFrame (Frame& frame, uint32_t timeoutMs)
{
	if (!pipe)
		return ReadResult::closed;
	const auto deadline = std::chrono::steady_clock::now () + std::chrono::milliseconds (timeoutMs);
	for (;;)
	{
		switch (parser.next (frame))
		{
			case FrameParser::Result::frame:
				return ReadResult::frame;
			case FrameParser::Result::malformed:
				return ReadResult::malformed;
			case FrameParser::Result::needMore:
				break;
		}
		uint8_t chunk[65536];
		OVERLAPPED overlapped {};
		overlapped.hEvent = readEvent;
		DWORD got = 0;
		if (!ReadFile (pipe, chunk, sizeof chunk, &got, &overlapped))
		{
			const DWORD code = GetLastError ();
			if (code != ERROR_IO_PENDING)
				return ReadResult::closed;
			const auto now = std::chrono::steady_clock::now ();
			const auto left = deadline > now ? std::chrono::duration_cast<std::chrono::milliseconds> (deadline - now).count () : 0;
			if (WaitForSingleObject (readEvent, static_cast<DWORD> (left)) != WAIT_OBJECT_0)
				CancelIoEx (pipe, &overlapped);
			if (!GetOverlappedResult (pipe, &overlapped, &got, TRUE))
			{
				if (GetLastError () == ERROR_OPERATION_ABORTED)
					return ReadResult::timeout;
				return ReadResult::closed;
			}
		}
		else
			GetOverlappedResult (pipe, &overlapped, &got, TRUE);
		if (got == 0)
			return ReadResult::closed;
		received += got;
		parser.append (chunk, got);
	}
}


struct SenderGroup::Connection
{
	SenderRecord sender;
	HANDLE pipe {nullptr};
	OVERLAPPED overlapped {};
	FrameParser parser;
	uint8_t chunk[65536];
};

SenderGroup::SenderGroup ()
: port (CreateIoCompletionPort (INVALID_HANDLE_VALUE, nullptr, 0, 1)), writeEvent (CreateEventW (nullptr, TRUE, FALSE, nullptr))
{
}

SenderGroup::~SenderGroup ()
{
	while (!connections.empty ())
		drop (connections.back ().get ());
	// A connection's buffer must outlive its read: wait for the reads of the closed pipes.
	for (int attempt = 0; attempt < 100 && !closing.empty (); ++attempt)
		poll (10, [] (const SenderRecord&, const Frame*) {});
	if (port)
		CloseHandle (port);
	if (writeEvent)
		CloseHandle (writeEvent);
}

bool SenderGroup::add (const SenderRecord& sender, std::string& error)
{
	if (!port || !writeEvent)
	{
		error = "no completion port";
		return false;
	}
	HANDLE pipe = openPipe (pipeNameFor (sender.id), error);
	if (!pipe)
		return false;
	auto connection = std::make_unique<Connection> ();
	connection->sender = sender;
	connection->pipe = pipe;
	const std::string line = handshakeLine (sender.token);
	if (!writeAll (pipe, writeEvent, line.data (), line.size (), error) ||
	    !CreateIoCompletionPort (pipe, port, reinterpret_cast<ULONG_PTR> (connection.get ()), 0))
	{
		CloseHandle (pipe);
		if (error.empty ())
			error = "cannot read the pipe through the completion port";
		return false;
	}
	if (!startRead (*connection))
	{
		error = "the sender hung up";
		closing.push_back (std::move (connection));
		return false;
	}
	connections.push_back (std::move (connection));
	return true;
}

bool SenderGroup::has (const std::string& id) const
{
	for (const auto& connection : connections)
		if (connection->sender.id == id)
			return true;
	return false;
}

size_t SenderGroup::size () const
{
	return connections.size ();
}

bool SenderGroup::send (const std::string& id, const void* bytes, size_t size, std::string& error)
{
	for (const auto& connection : connections)
		if (connection->sender.id == id)
			return writeAll (connection->pipe, writeEvent, bytes, size, error);
	error = "not connected to " + id;
	return false;
}

bool SenderGroup::startRead (Connection& connection)
{
	std::memset (&connection.overlapped, 0, sizeof connection.overlapped);
	return ReadFile (connection.pipe, connection.chunk, sizeof connection.chunk, nullptr, &connection.overlapped) ||
	       GetLastError () == ERROR_IO_PENDING;
}

void SenderGroup::drop (Connection* connection)
{
	CloseHandle (connection->pipe); // its read comes back aborted; the buffer waits for it
	connection->pipe = nullptr;
	for (auto it = connections.begin (); it != connections.end (); ++it)
		if (it->get () == connection)
		{
			closing.push_back (std::move (*it));
			connections.erase (it);
			return;
		}
}

size_t SenderGroup::poll (uint32_t timeoutMs, const std::function<void (const SenderRecord&, const Frame*)>& handle)
{
	OVERLAPPED_ENTRY entries[64];
	ULONG count = 0;
	if (!port || !GetQueuedCompletionStatusEx (port, entries, 64, &count, timeoutMs, FALSE))
		return 0;
	size_t frames = 0;
	for (ULONG i = 0; i < count; ++i)
	{
		auto* connection = reinterpret_cast<Connection*> (entries[i].lpCompletionKey);
		if (!connection->pipe)
		{
			// The last read of a dropped connection: now its buffer can go.
			for (auto it = closing.begin (); it != closing.end (); ++it)
				if (it->get () == connection)
				{
					closing.erase (it);
					break;
				}
			continue;
		}
		const DWORD got = entries[i].dwNumberOfBytesTransferred;
		bool ended = entries[i].lpOverlapped->Internal != 0 || got == 0; // an error status or end of data
		if (!ended)
		{
			connection->parser.append (connection->chunk, got);
			for (;;)
			{
				const FrameParser::Result result = connection->parser.next (frame);
				if (result == FrameParser::Result::frame)
				{
					++frames;
					handle (connection->sender, &frame);
					continue;
				}
				ended = result == FrameParser::Result::malformed;
				break;
			}
		}
		if (ended || !startRead (*connection))
		{
			handle (connection->sender, nullptr);
			drop (connection);
			// A read that failed to start posts nothing: its buffer can go at once.
			if (!ended)
				closing.pop_back ();
		}
	}
	return frames;
}

} // namespace tarvo::client
