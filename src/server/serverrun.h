// One run of the server thread: its access descriptor, id and token, record, pipe and
// the session of at most one visualiser at a time.
#pragma once

namespace tarvo {

class AudioServer;

class ServerRun
{
public:
	explicit ServerRun (AudioServer& server) : server (server) {}

	/** Serves until a stop is requested; throws std::runtime_error when the run fails. */
	void run ();

private:
	AudioServer& server;
};

} // namespace tarvo
