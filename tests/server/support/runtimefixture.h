// A private runtime directory per test, and waiting for what a sender publishes.
#pragma once

#include "../../errorof.h"

#include "discovery/discoveryfiles.h"
#include "server/audioserver.h"
#include "visualiserclient.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tarvo::test {

/** Points TARVO_AUDIO_SERVER_RUNTIME at a fresh folder for the test's lifetime. */
class RuntimeDirectory
{
public:
	RuntimeDirectory ();
	~RuntimeDirectory ();
	const std::filesystem::path& path () const { return dir; }

private:
	std::filesystem::path dir;
};

void setRuntimeVariable (const std::wstring& value);
void clearRuntimeVariable ();

/** Polls until `condition` holds or the time is up; true when it held. */
bool waitUntil (const std::function<bool ()>& condition, std::chrono::milliseconds limit);

/** The one record in `dir` whose id differs from `notId`, once it appears. */
std::optional<client::SenderRecord> waitForSender (const std::filesystem::path& dir,
                                                   std::chrono::milliseconds limit = std::chrono::milliseconds (3000),
                                                   const std::string& notId = {});

/** Reads frames until one satisfies `accept`, or the time is up. */
std::optional<client::Frame> readUntil (client::VisualiserClient& client,
                                        const std::function<bool (const client::Frame&)>& accept,
                                        std::chrono::milliseconds limit = std::chrono::milliseconds (2000));

/** Reads (and drops) frames until the server closes the pipe; false if it is still open
    when the time is up. */
bool hungUp (client::VisualiserClient& client, std::chrono::milliseconds limit);


/** A server started in a runtime directory of its own, and its first record. */
struct StartedServer
{
	StartedServer ();
	RuntimeDirectory runtime;
	AudioServer server;
	std::optional<client::SenderRecord> record;
	/** Connects, presents the token and waits for the first frame and for capturing. */
	bool authenticate (client::VisualiserClient& client);
};

/** A run's publication state over `dir` (made if missing): its id, token and access list. */
struct Publisher
{
	explicit Publisher (const std::filesystem::path& dir);
	void publish (uint32_t generation, const std::u16string& label = u"Audio Server");
	static inline const std::string kId = "0123456789abcdef0123456789abcdef0123456789abcdef";
	static inline const std::string kToken = "fedcba9876543210fedcba9876543210fedcba9876543210";
	AccessDescriptor access;
	std::unique_ptr<DiscoveryFiles> files;
	PublicationContext context;
};

std::string readFileBytes (const std::filesystem::path& file);

/** Milliseconds of CPU this process has spent so far, all threads together. */
double processCpuMillis ();

} // namespace tarvo::test
