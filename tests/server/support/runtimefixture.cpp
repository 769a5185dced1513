#include "runtimefixture.h"

#include <windows.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tarvo::test {

void setRuntimeVariable (const std::wstring& value)
{
	SetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", value.c_str ());
}

void clearRuntimeVariable ()
{
	SetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", nullptr);
}

RuntimeDirectory::RuntimeDirectory ()
{
	static int counter = 0;
	dir = std::filesystem::temp_directory_path () /
	      ("tarvo-rt-" + std::to_string (GetCurrentProcessId ()) + "-" + std::to_string (++counter));
	std::error_code ec;
	std::filesystem::remove_all (dir, ec);
	setRuntimeVariable (dir.wstring ());
}

RuntimeDirectory::~RuntimeDirectory ()
{
	clearRuntimeVariable ();
	std::error_code ec;
	std::filesystem::remove_all (dir, ec);
}

bool waitUntil (const std::function<bool ()>& condition, std::chrono::milliseconds limit)
{
	const auto end = std::chrono::steady_clock::now () + limit;
	while (!condition ())
	{
		if (std::chrono::steady_clock::now () >= end)
			return condition ();
		std::this_thread::sleep_for (std::chrono::milliseconds (5));
	}
	return true;
}

std::optional<client::SenderRecord> waitForSender (const std::filesystem::path& dir,
                                                   std::chrono::milliseconds limit, const std::string& notId)
{
	std::optional<client::SenderRecord> found;
	waitUntil ([&] {
		for (auto& record : client::listSenders (dir))
			if (record.id != notId)
				return (found = record).has_value ();
		return false;
	}, limit);
	return found;
}

std::optional<client::Frame> readUntil (client::VisualiserClient& client,
                                        const std::function<bool (const client::Frame&)>& accept,
                                        std::chrono::milliseconds limit)
{
	using Result = client::VisualiserClient::ReadResult;
	const auto end = std::chrono::steady_clock::now () + limit;
	client::Frame frame;
	while (std::chrono::steady_clock::now () < end)
	{
		const auto result = client.readFrame (frame, 50);
		if (result == Result::frame && accept (frame))
			return frame;
		if (result == Result::closed || result == Result::malformed)
			break;
	}
	return std::nullopt;
}

bool hungUp (client::VisualiserClient& client, std::chrono::milliseconds limit)
{
	const auto end = std::chrono::steady_clock::now () + limit;
	client::Frame frame;
	while (std::chrono::steady_clock::now () < end)
		if (client.readFrame (frame, 50) == client::VisualiserClient::ReadResult::closed)
			return true;
	return false;
}

StartedServer::StartedServer ()
{
	server.start ();
	record = waitForSender (runtime.path ());
}

bool StartedServer::authenticate (client::VisualiserClient& client)
{
	std::string error;
	return record && client.connect (*record, error) && readUntil (client, [] (const client::Frame&) { return true; }) &&
	       waitUntil ([&] { return server.isCapturing (); }, std::chrono::milliseconds (1000));
}

Publisher::Publisher (const std::filesystem::path& dir)
: access (makeAccessDescriptor ()), files (std::make_unique<DiscoveryFiles> (dir / (kId + ".json"))),
  context {0, *files, kId, kToken, access}
{
	std::filesystem::create_directories (dir);
}

void Publisher::publish (uint32_t generation, const std::u16string& label)
{
	publishDiscoveryRecord (context, generation, label);
}

std::string readFileBytes (const std::filesystem::path& file)
{
	std::ifstream in (file, std::ios::binary);
	std::ostringstream bytes;
	bytes << in.rdbuf ();
	return bytes.str ();
}

double processCpuMillis ()
{
	FILETIME created, exited, kernel, user;
	GetProcessTimes (GetCurrentProcess (), &created, &exited, &kernel, &user);
	auto ticks = [] (FILETIME t) { return double ((uint64_t (t.dwHighDateTime) << 32) | t.dwLowDateTime); };
	return (ticks (kernel) + ticks (user)) / 1e4;
}

} // namespace tarvo::test
