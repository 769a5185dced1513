// The persistent state: what getState writes, what setState and the controller accept.
#include "teststreams.h"

#include "controller/controller.h"
#include "processor/processor.h"
#include "shared/processwide.h"

#include "public.sdk/source/common/memorystream.h"

#include <gtest/gtest.h>

using namespace Steinberg;
using namespace Steinberg::Vst;
using tarvo::test::ScriptedStream;
using tarvo::test::stateRecord;

namespace {

// The processor linked into this test program, so the process-wide counters are visible.
struct LocalProcessor
{
	LocalProcessor ()
	{
		FUnknown* object = tarvo::createProcessorInstance (nullptr);
		component = FUnknownPtr<IComponent> (object);
		object->release ();
	}
	std::string savedState ()
	{
		ScriptedStream stream;
		EXPECT_EQ (component->getState (&stream), kResultOk);
		return stream.bytes;
	}
	tresult restore (const std::string& bytes, size_t* position = nullptr)
	{
		ScriptedStream stream (bytes);
		const tresult result = component->setState (&stream);
		if (position)
			*position = stream.position;
		return result;
	}
	IPtr<IComponent> component;
};

uint32_t generation ()
{
	return tarvo::processWide ().primaryGeneration.load ();
}

} // namespace

TEST (State, FreshProcessorSavesTheDefaultLabel)
{
	LocalProcessor p;
	EXPECT_EQ (p.savedState (), stateRecord ("Audio Server"));
}

TEST (State, SevenLetterLabelSavesFifteenBytes)
{
	LocalProcessor p;
	const uint32_t before = generation ();
	ASSERT_EQ (p.restore (stateRecord ("Drum Bu")), kResultOk);
	EXPECT_EQ (generation (), before + 1);
	const std::string saved = p.savedState ();
	EXPECT_EQ (saved, std::string ("TRN1\x07\x00\x00\x00", 8) + "Drum Bu");
	EXPECT_EQ (saved.size (), 15u);
}

TEST (State, EmptyRecordsMeanTheDefaultLabel)
{
	LocalProcessor p;
	ASSERT_EQ (p.restore (stateRecord ("Keys")), kResultOk);
	uint32_t before = generation ();
	EXPECT_EQ (p.restore (""), kResultOk);
	EXPECT_EQ (generation (), before + 1);
	EXPECT_EQ (p.savedState (), stateRecord ("Audio Server"));

	ASSERT_EQ (p.restore (stateRecord ("Keys")), kResultOk);
	EXPECT_EQ (p.restore (stateRecord ("")), kResultOk);
	EXPECT_EQ (p.savedState (), stateRecord ("Audio Server"));
}

TEST (State, ControlCharactersBecomeBlanksAndMultibyteSurvives)
{
	LocalProcessor p;
	ASSERT_EQ (p.restore (stateRecord ("Vox\tLead\n")), kResultOk);
	EXPECT_EQ (p.savedState (), stateRecord ("Vox Lead "));
	ASSERT_EQ (p.restore (stateRecord ("B\xC3\xA4ss \xF0\x9F\x8E\xB8")), kResultOk);
	EXPECT_EQ (p.savedState (), stateRecord ("B\xC3\xA4ss \xF0\x9F\x8E\xB8"));
	// Bytes after the record are ignored.
	ASSERT_EQ (p.restore (stateRecord ("Pad") + "trailing"), kResultOk);
	EXPECT_EQ (p.savedState (), stateRecord ("Pad"));
}

TEST (State, RefusedRecordsChangeNothing)
{
	LocalProcessor p;
	ASSERT_EQ (p.restore (stateRecord ("Keep")), kResultOk);
	const uint32_t before = generation ();

	std::string wrongMagic = stateRecord ("Other");
	wrongMagic[0] = 'X';
	const std::string refused[] = {
	    wrongMagic,
	    stateRecord (std::string (65, 'a')),           // 65 units
	    stateRecord ("short", 10),                     // fewer bytes than announced
	    stateRecord ("bad\xC3(utf8"),                  // invalid UTF-8
	    stateRecord ("\xED\xA0\x80"),                  // an encoded surrogate
	    std::string ("TRN1\x05\x00", 6),               // header cut short
	    stateRecord (std::string (257, 'a'), 257),     // N above 256
	};
	for (const auto& record : refused)
		EXPECT_EQ (p.restore (record), kResultFalse) << record.size () << " bytes";
	EXPECT_EQ (p.component->setState (nullptr), kResultFalse);
	EXPECT_EQ (generation (), before);
	EXPECT_EQ (p.savedState (), stateRecord ("Keep"));

	EXPECT_EQ (p.restore (stateRecord (std::string (64, 'a'))), kResultOk);
}

TEST (State, LengthLimitIsCheckedBeforeTheLabelIsRead)
{
	LocalProcessor p;
	size_t position = 0;
	// 256 announced bytes are read (then refused as longer than 64 units) ...
	EXPECT_EQ (p.restore (stateRecord (std::string (256, 'a')), &position), kResultFalse);
	EXPECT_EQ (position, 8u + 256u);
	// ... 257 are refused from the header alone.
	EXPECT_EQ (p.restore (stateRecord (std::string (257, 'a')), &position), kResultFalse);
	EXPECT_EQ (position, 8u);
}

TEST (State, ReadErrorsAreRefusedButAnEmptyFirstReadIsTheDefault)
{
	LocalProcessor p;
	ASSERT_EQ (p.restore (stateRecord ("Keep")), kResultOk);

	ScriptedStream failingBody (stateRecord ("Other"));
	failingBody.failCall = 1; // the label read reports an error though it delivers everything
	EXPECT_EQ (p.component->setState (&failingBody), kResultFalse);
	ScriptedStream failingHeader (stateRecord ("Other"));
	failingHeader.failCall = 0;
	EXPECT_EQ (p.component->setState (&failingHeader), kResultFalse);
	EXPECT_EQ (p.savedState (), stateRecord ("Keep"));

	// Zero bytes delivered, whatever the result code, means an empty stream.
	ScriptedStream nothing ("");
	nothing.failCall = 0;
	EXPECT_EQ (p.component->setState (&nothing), kResultOk);
	EXPECT_EQ (p.savedState (), stateRecord ("Audio Server"));
}

TEST (State, WriteFailuresAreReported)
{
	LocalProcessor p;
	EXPECT_EQ (p.component->getState (nullptr), kInvalidArgument);
	for (int call : {0, 1})
	{
		for (int shortBy : {0, 1})
		{
			ScriptedStream stream;
			stream.failCall = call;
			stream.shortBy = shortBy;
			stream.failResult = shortBy ? kResultOk : kResultFalse; // short but "successful" too
			EXPECT_EQ (p.component->getState (&stream), kResultFalse) << call << "/" << shortBy;
		}
	}
	// Exactly two writes, the second one also for an empty label byte string.
	ScriptedStream stream;
	EXPECT_EQ (p.component->getState (&stream), kResultOk);
	EXPECT_EQ (stream.writes, 2);
}

TEST (State, ControllerTakesTheLabelFromTheComponentState)
{
	FUnknown* object = tarvo::Controller::createInstance (nullptr);
	auto* controller = static_cast<tarvo::Controller*> (FUnknownPtr<IEditController> (object).getInterface ());
	ASSERT_NE (controller, nullptr);

	const tarvo::SenderStatus fresh = controller->cachedStatus ();
	EXPECT_EQ (fresh, tarvo::SenderStatus {});
	EXPECT_EQ (fresh.name, u"Audio Server");
	EXPECT_EQ (fresh.text, u"Waiting for audio processor");

	LocalProcessor p;
	ASSERT_EQ (p.restore (stateRecord ("Guitars")), kResultOk);
	ScriptedStream saved (p.savedState ());
	EXPECT_EQ (controller->setComponentState (&saved), kResultOk);
	tarvo::SenderStatus expected;
	expected.name = u"Guitars";
	EXPECT_EQ (controller->cachedStatus (), expected);

	// The controller keeps what it reads: no clean-up of its own.
	ScriptedStream empty (stateRecord (""));
	EXPECT_EQ (controller->setComponentState (&empty), kResultOk);
	EXPECT_EQ (controller->cachedStatus ().name, u"");
	ScriptedStream nothing ("");
	EXPECT_EQ (controller->setComponentState (&nothing), kResultOk);
	EXPECT_EQ (controller->cachedStatus ().name, u"Audio Server");

	std::string wrongMagic = stateRecord ("Other");
	wrongMagic[1] = 'x';
	ScriptedStream bad (wrongMagic);
	EXPECT_EQ (controller->setComponentState (&bad), kResultFalse);
	EXPECT_EQ (controller->setComponentState (nullptr), kResultFalse);
	EXPECT_EQ (controller->cachedStatus ().name, u"Audio Server");
	object->release ();
}
