// What a run exposes is for the current user only, and the token never leaks.
#include "linkedinstance.h"
#include "runtimefixture.h"
#include "securitychecks.h"

#include "server/audioserver.h"
#include "server/wireprotocol.h"
#include "shared/messages.h"

#include "public.sdk/source/common/memorystream.h"

#include <gtest/gtest.h>

#include <aclapi.h>

using namespace tarvo;
using namespace std::chrono_literals;

TEST (Security, PipeRecordAndFolderAreForTheUserOnly)
{
	test::RuntimeDirectory runtime;
	AudioServer server;
	server.start ();
	auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);

	client::VisualiserClient client;
	std::string error;
	ASSERT_TRUE (client.open (client::pipeNameFor (record->id), error)) << error;
	HANDLE pipe = CreateFileA (client::pipeNameFor (record->id).c_str (), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
	// One client at a time: the second open is refused while the first holds the pipe.
	EXPECT_EQ (pipe, INVALID_HANDLE_VALUE);
	client.close ();

	ASSERT_TRUE (test::waitUntil ([&] {
		pipe = CreateFileA (client::pipeNameFor (record->id).c_str (), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
		                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
		return pipe != INVALID_HANDLE_VALUE;
	}, 2000ms));
	PSECURITY_DESCRIPTOR descriptor = nullptr;
	ASSERT_EQ (GetSecurityInfo (pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
	                            &descriptor),
	           DWORD (ERROR_SUCCESS));
	test::expectUserOnly (descriptor);
	LocalFree (descriptor);
	CloseHandle (pipe);

	for (const auto& path : {record->file, runtime.path ()})
	{
		const auto security = test::fileSecurity (path);
		ASSERT_FALSE (security.empty ()) << path;
		test::expectDirectoryUserOnly (const_cast<unsigned char*> (security.data ()));
	}
	server.stop ();
}

TEST (Security, NoSecondPipeOfTheSameNameAndNoRemoteRoute)
{
	test::RuntimeDirectory runtime;
	AudioServer server;
	server.start ();
	auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	const std::string name = client::pipeNameFor (record->id);

	// Another server end under the same name is refused, with or without first-instance.
	HANDLE impostor = CreateNamedPipeA (name.c_str (), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
	                                    PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
	EXPECT_EQ (impostor, INVALID_HANDLE_VALUE);
	impostor = CreateNamedPipeA (name.c_str (), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 4096,
	                             4096, 0, nullptr);
	EXPECT_EQ (impostor, INVALID_HANDLE_VALUE);
	if (impostor != INVALID_HANDLE_VALUE)
		CloseHandle (impostor);

	// Through the network path the pipe is not reached. (Wine has no network redirector,
	// so here this shows only that the path does not lead in; on Windows the pipe's
	// reject-remote flag refuses such a client.)
	const std::string remote = "\\\\127.0.0.1\\pipe\\TarvoProto-" + record->id;
	HANDLE viaNetwork = CreateFileA (remote.c_str (), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
	EXPECT_EQ (viaNetwork, INVALID_HANDLE_VALUE);
	if (viaNetwork != INVALID_HANDLE_VALUE)
		CloseHandle (viaNetwork);
	server.stop ();
}

TEST (Security, AlmostRightTokensAreRefused)
{
	test::RuntimeDirectory runtime;
	AudioServer server;
	server.start ();
	auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	auto refused = [&] (const std::string& line) {
		client::VisualiserClient client;
		std::string error;
		if (!client.open (client::pipeNameFor (record->id), error) || !client.sendBytes (line.data (), line.size (), error))
			return false;
		client::Frame frame;
		for (int i = 0; i < 20; ++i)
		{
			const auto result = client.readFrame (frame, 50);
			if (result == client::VisualiserClient::ReadResult::closed)
				return true;
			if (result == client::VisualiserClient::ReadResult::frame)
				return false;
		}
		return false;
	};
	std::string lastWrong = record->token;
	lastWrong.back () = lastWrong.back () == '0' ? '1' : '0';
	std::string firstWrong = record->token;
	firstWrong.front () = firstWrong.front () == '0' ? '1' : '0';
	EXPECT_TRUE (refused (handshakeLine (lastWrong)));                    // right length, last character wrong
	EXPECT_TRUE (refused (handshakeLine (firstWrong)));                   // right length, first character wrong
	EXPECT_TRUE (refused (handshakeLine (record->token.substr (0, 47)))); // a correct prefix
	EXPECT_TRUE (refused (handshakeLine (record->token + "0")));          // the token and more
	EXPECT_TRUE (refused (handshakeLine (record->id)));                   // the id is not the token
	EXPECT_FALSE (refused (handshakeLine (record->token)));
	server.stop ();
}

TEST (Security, TheTokenStaysOutOfStateStatusAndStream)
{
	test::RuntimeDirectory runtime;
	test::LinkedInstance instance;
	instance.activate ();
	auto record = test::waitForSender (runtime.path ());
	ASSERT_TRUE (record);
	client::VisualiserClient client;
	std::string error;
	ASSERT_TRUE (client.connect (*record, error)) << error;

	// Everything the stream carries in a while of audio.
	std::string received;
	client::Frame frame;
	for (int i = 0; i < 60; ++i)
	{
		instance.process ();
		while (client.readFrame (frame, 5) == client::VisualiserClient::ReadResult::frame)
		{
			received.append (reinterpret_cast<const char*> (&frame.header), sizeof frame.header);
			received.append (reinterpret_cast<const char*> (frame.samples.data ()), frame.samples.size () * 4);
		}
	}
	EXPECT_GT (received.size (), 10000u);
	EXPECT_EQ (received.find (record->token), std::string::npos);
	EXPECT_EQ (received.find (record->token.substr (0, 16)), std::string::npos);

	Steinberg::MemoryStream state;
	ASSERT_EQ (instance.component->getState (&state), Steinberg::kResultOk);
	Steinberg::int64 size = 0;
	state.tell (&size);
	const std::string saved (state.getData (), size_t (size));
	EXPECT_EQ (saved.find (record->token.substr (0, 16)), std::string::npos);
	EXPECT_EQ (saved.find (record->id.substr (0, 16)), std::string::npos);

	const SenderStatus status = instance.poll ();
	const std::u16string token16 (record->token.begin (), record->token.end ());
	EXPECT_EQ (status.name.find (token16.substr (0, 16)), std::u16string::npos);
	EXPECT_EQ (status.text.find (token16.substr (0, 16)), std::u16string::npos);
}
