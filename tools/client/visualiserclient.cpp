#include "visualiserclient.h"

#include "flatjson.h"

#include <windows.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace tarvo::client {

bool parseSenderRecord (const std::string& text, SenderRecord& record, std::string& error)
{
	std::map<std::string, tools::FlatJsonValue> members;
	if (!tools::parseFlatJson (text, members))
	{
		error = "not a JSON object";
		return false;
	}
	auto str = [&] (const char* key, std::string& out) {
		auto it = members.find (key);
		if (it == members.end () || !it->second.isString)
			return false;
		out = it->second.text;
		return true;
	};
	auto num = [&] (const char* key, uint64_t& out) {
		auto it = members.find (key);
		if (it == members.end () || it->second.isString || it->second.text.empty () ||
		    it->second.text.find_first_not_of ("0123456789") != std::string::npos ||
		    it->second.text.size () > 10)
			return false;
		out = std::stoull (it->second.text);
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

VisualiserClient::~VisualiserClient ()
{
	close ();
}

bool VisualiserClient::open (const std::string& pipeName, std::string& error)
{
	close ();
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
		return false;
	}
	pipe = handle;
	readEvent = CreateEventW (nullptr, TRUE, FALSE, nullptr);
	writeEvent = CreateEventW (nullptr, TRUE, FALSE, nullptr);
	if (!readEvent || !writeEvent)
	{
		error = "no event for the pipe";
		close ();
		return false;
	}
	buffer.clear ();
	bufferStart = 0;
	received = 0;
	return true;
}

bool VisualiserClient::connect (const SenderRecord& sender, std::string& error)
{
	if (!open (pipeNameFor (sender.id), error))
		return false;
	const std::string line = "TARVO6 " + sender.token + "\n";
	return sendBytes (line.data (), line.size (), error);
}

bool VisualiserClient::sendBytes (const void* bytes, size_t size, std::string& error)
{
	if (!pipe)
	{
		error = "not connected";
		return false;
	}
	OVERLAPPED overlapped {};
	overlapped.hEvent = writeEvent;
	ResetEvent (writeEvent);
	DWORD written = 0;
	if (!WriteFile (pipe, bytes, static_cast<DWORD> (size), &written, &overlapped))
	{
		if (GetLastError () != ERROR_IO_PENDING ||
		    !GetOverlappedResult (pipe, &overlapped, &written, TRUE))
		{
			error = "write failed (error " + std::to_string (GetLastError ()) + ")";
			return false;
		}
	}
	else
		GetOverlappedResult (pipe, &overlapped, &written, TRUE);
	if (written != size)
	{
		error = "short write";
		return false;
	}
	return true;
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

bool VisualiserClient::takeBufferedFrame (Frame& frame, bool& malformed)
{
	malformed = false;
	const size_t available = buffer.size () - bufferStart;
	if (available < sizeof (BlockHeader))
		return false;
	BlockHeader header;
	std::memcpy (&header, buffer.data () + bufferStart, sizeof header);
	if (std::memcmp (header.magic, kBlockMagic, 4) != 0 || header.version != kProtocolVersion ||
	    header.channelCount < 1 || header.channelCount > 2 || header.frameCount > kMaxBlockFrames)
	{
		malformed = true;
		return false;
	}
	const size_t length = frameLength (header);
	if (available < length)
		return false;
	frame.header = header;
	const size_t samples = size_t (header.channelCount) * header.frameCount;
	frame.samples.resize (samples);
	std::memcpy (frame.samples.data (), buffer.data () + bufferStart + sizeof header, samples * sizeof (float));
	bufferStart += length;
	if (bufferStart == buffer.size ())
	{
		buffer.clear ();
		bufferStart = 0;
	}
	return true;
}

VisualiserClient::ReadResult VisualiserClient::readFrame (Frame& frame, uint32_t timeoutMs)
{
	if (!pipe)
		return ReadResult::closed;
	const auto deadline = std::chrono::steady_clock::now () + std::chrono::milliseconds (timeoutMs);
	for (;;)
	{
		bool malformed = false;
		if (takeBufferedFrame (frame, malformed))
			return ReadResult::frame;
		if (malformed)
			return ReadResult::malformed;

		if (bufferStart > 0)
		{
			buffer.erase (buffer.begin (), buffer.begin () + static_cast<std::ptrdiff_t> (bufferStart));
			bufferStart = 0;
		}
		uint8_t chunk[65536];
		OVERLAPPED overlapped {};
		overlapped.hEvent = readEvent;
		ResetEvent (readEvent);
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
		buffer.insert (buffer.end (), chunk, chunk + got);
	}
}

} // namespace tarvo::client
