// Resolving the runtime directory, writing the record, and reading it as a visualiser does.
#include "runtimefixture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <fstream>
#include <thread>

using namespace tarvo;
using test::Publisher;
using test::readFileBytes;

static const std::string &kId = Publisher::kId, &kToken = Publisher::kToken;

TEST (RuntimeDirectory, TheLocalProfileUnlessAnAbsoluteValueIsSet)
{
	for (const wchar_t* value : {static_cast<const wchar_t*> (nullptr), L""})
	{
		SetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", value);
		const auto dir = resolveRuntimeDirectory ();
		EXPECT_EQ (dir.parent_path ().filename () / dir.filename (), L"Tarvo Audio Server Prototype\\Runtime-v5");
		EXPECT_NE (dir.wstring ().find (L":\\"), std::wstring::npos) << dir;
		EXPECT_NE (dir.wstring ().find (L"AppData\\Local"), std::wstring::npos) << dir;
	}
	for (const wchar_t* absolute : {L"C:\\runtime\\here", L"\\\\server\\share\\rt", L"//server/share/rt", L"d:/rt", L"a:\\rt", L"A:\\rt", L"z:\\rt", L"Z:\\rt"})
	{
		test::setRuntimeVariable (absolute);
		EXPECT_EQ (resolveRuntimeDirectory ().wstring (), absolute);
	}
	// With a trailing separator the record's name is joined without doubling it.
	test::setRuntimeVariable (L"C:\\runtime\\");
	const DiscoveryFiles files (resolveRuntimeDirectory () / L"abc.json");
	EXPECT_EQ (std::make_tuple (files.recordPath ().wstring (), files.temporaryPath ().wstring ()),
	           std::make_tuple (L"C:\\runtime\\abc.json", L"C:\\runtime\\abc.json.tmp"));

	for (const wchar_t* refused : {L"relative\\dir", L"a\\b", L"a/b", L"\\rooted\\no\\drive", L"/rooted", L"C:drive-relative",
	                               L"C:", L"1:\\digit", L".", L"@:\\x", L"[:\\x", L"`:\\x", L"{:\\x", L"\u00E9:\\x"})
	{
		test::setRuntimeVariable (refused);
		EXPECT_EQ (test::errorOf ([] { resolveRuntimeDirectory (); }), "Invalid runtime directory");
	}
	// A value that does not fit the 32768-unit buffer is refused. Windows will not store
	// one that long and Wine cuts it short, so check whichever the system actually holds.
	test::setRuntimeVariable (L"C:\\" + std::wstring (33000, L'a'));
	const DWORD stored = GetEnvironmentVariableW (L"TARVO_AUDIO_SERVER_RUNTIME", nullptr, 0);
	if (stored > 32768)
	{
		EXPECT_EQ (test::errorOf ([] { resolveRuntimeDirectory (); }), "Invalid runtime directory");
	}
	else if (stored > 0)
	{
		EXPECT_EQ (resolveRuntimeDirectory ().wstring ().size (), stored - 1); // taken whole, unchanged
	}
	test::clearRuntimeVariable ();
}

TEST (DiscoveryRecord, ExactBytesOnceForEachLabelChangeAnyValidRecordReadNeverPartialAndWithdrawnDespiteAReader)
{
	test::RuntimeDirectory scratch;
	Publisher p (scratch.path ());
	std::ofstream (p.files->recordPath ()) << "stale leftover"; // replaced by the first publication
	p.publish (1, u"Voc \"Lead\" C:\\take\t2 \u00E9\U0001F3A4");
	EXPECT_EQ (readFileBytes (p.files->recordPath ()),
	           "{\"version\":6,\"id\":\"" + kId + "\",\"token\":\"" + kToken + "\",\"pid\":" +
	               std::to_string (GetCurrentProcessId ()) + ",\"label\":\"Voc \\\"Lead\\\" C:\\\\take 2 \xC3\xA9\xF0\x9F\x8E\xA4\"}");
	EXPECT_FALSE (std::filesystem::exists (p.files->temporaryPath ()));
	client::SenderRecord record; // what the server writes, the client reads back
	std::string error;
	ASSERT_TRUE (client::readSenderRecord (p.files->recordPath (), record, error)) << error;
	EXPECT_EQ (std::make_tuple (record.label, record.id, record.token, record.pid),
	           std::make_tuple (std::string ("Voc \"Lead\" C:\\take 2 \xC3\xA9\xF0\x9F\x8E\xA4"), kId, kToken, uint32_t (GetCurrentProcessId ())));

	// The same generation again writes nothing (a deleted record stays deleted); a newer
	// one writes its label.
	std::filesystem::remove (p.files->recordPath ());
	p.publish (1, u"Ignored");
	EXPECT_FALSE (std::filesystem::exists (p.files->recordPath ()));
	p.publish (3, u"Second");
	EXPECT_NE (readFileBytes (p.files->recordPath ()).find ("\"label\":\"Second\""), std::string::npos);

	// A visualiser reads members in another order, members it does not know, spaces and
	// escapes a writer other than ours might use.
	const std::string id = "\"" + kId + "\"", token = "\"" + kToken + "\"";
	ASSERT_TRUE (client::parseSenderRecord ("{ \"label\" : \"Bass \\u00e9\\ud83c\\udfa4 \\\"DI\\\"\\n\", \"pid\": 42, \"token\": " +
	                                            token + ",\n \"extra\": {\"nested\": [1, 2]}, \"id\": " + id +
	                                            ", \"version\": 6 }",
	                                        record, error))
	    << error;
	EXPECT_EQ (std::make_tuple (record.label, record.pid, record.id), std::make_tuple (std::string ("Bass \xC3\xA9\xF0\x9F\x8E\xA4 \"DI\"\n"), 42u, kId));

	const std::string valid = "\"id\":" + id + ",\"token\":" + token + ",\"label\":\"x\"";
	for (const std::string& refused : {"{\"version\":5,\"pid\":1," + valid + "}",        // another protocol
	                                   "{\"version\":6,\"pid\":-1," + valid + "}",       // not a process id
	                                   "{\"version\":6,\"pid\":4294967296," + valid + "}",
	                                   "{\"version\":\"6\",\"pid\":1," + valid + "}",    // a number as text
	                                   "{\"version\":6," + valid + "}",                  // no pid
	                                   "{\"version\":6,\"pid\":1," + valid,              // cut short
	                                   "{\"version\":6,\"pid\":1," + valid + "} trailing", // more after it
	                                   std::string ("[6]"), std::string ("{\"version\":6,\"pid\":1,\"id\":\"") + std::string (48, 'A') +
	                                              "\",\"token\":" + token + ",\"label\":\"x\"}"}) // upper-case hex
		EXPECT_FALSE (client::parseSenderRecord (refused, record, error)) << refused;

	// A reader never sees a partial record, nor makes a publication fail.
	std::atomic<bool> done {false};
	int reads = 0, invalid = 0;
	std::string firstError;
	std::thread reading ([&] {
		for (client::SenderRecord record; !done.load (); std::this_thread::sleep_for (std::chrono::milliseconds (1)))
		{
			std::string error;
			reads += client::readSenderRecord (p.files->recordPath (), record, error);
			if (!error.empty () && invalid++ == 0)
				firstError = error;
		}
	});
	const std::string publishError = test::errorOf ([&] {
		for (uint32_t i = 4; i < 302; ++i)
			p.publish (i, u"Rename " + std::u16string (size_t (i % 40), u'x'));
	});
	done = true;
	reading.join ();
	EXPECT_EQ (std::make_tuple (publishError, invalid, reads > 0), std::make_tuple ("(no error)", 0, true)) << firstError;

	// Withdrawing removes both files.
	std::ofstream (p.files->temporaryPath ()) << "x";
	const auto file = p.files->recordPath (), temporary = p.files->temporaryPath ();
	p.files.reset ();
	EXPECT_EQ (std::make_pair (std::filesystem::exists (file), std::filesystem::exists (temporary)), std::make_pair (false, false));

	// A visualiser reading the record at that moment holds it open without delete
	// sharing; the record still goes once it lets go.
	Publisher again (scratch.path ());
	again.publish (1);
	HANDLE reader = CreateFileW (file.c_str (), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
	ASSERT_NE (reader, INVALID_HANDLE_VALUE);
	std::thread letGo ([reader] {
		std::this_thread::sleep_for (std::chrono::milliseconds (20));
		CloseHandle (reader);
	});
	again.files.reset ();
	letGo.join ();
	EXPECT_FALSE (std::filesystem::exists (file));
}
