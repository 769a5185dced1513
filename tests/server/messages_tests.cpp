// The messages between processor and controller, with instances sharing one process.
#include "linkedinstance.h"
#include "runtimefixture.h"

#include "hostwindow.h"
#include "server/auditioncommand.h"
#include "shared/messages.h"
#include "shared/processwide.h"

#include "pluginterfaces/gui/iplugview.h"

#include <gtest/gtest.h>

using namespace tarvo;
using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace std::chrono_literals;
using test::LinkedInstance;
using test::makeMessage;

namespace {

uint32_t generation ()
{
	return processWide ().primaryGeneration.load ();
}

tresult sendName (LinkedInstance& instance, const std::u16string& name)
{
	auto message = makeMessage (kMessageName);
	message->getAttributes ()->setString (kAttributeName, reinterpret_cast<const TChar*> (name.c_str ()));
	return instance.processorPoint->notify (message);
}

/** A status message as a processor would send it; fields left out on request. */
IPtr<IMessage> statusMessage (int64 role, bool withMode = true, int64 mode = 0, bool withName = true)
{
	auto message = makeMessage (kMessageStatus);
	IAttributeList* a = message->getAttributes ();
	if (withName)
		a->setString (kAttributeName, reinterpret_cast<const TChar*> (u"Keys"));
	a->setString (kAttributeStatus, reinterpret_cast<const TChar*> (u"Band Solo active"));
	a->setInt (kAttributeRole, role);
	a->setInt (kAttributeConnected, 1);
	if (withMode)
		a->setInt (kAttributeAuditionMode, mode);
	return message;
}

} // namespace

TEST (Messages, PrimaryTogglesAndMovesBetweenInstances)
{
	processWide ().primarySerial = 0;
	LinkedInstance a, b;
	EXPECT_EQ (a.poll ().role, 0);
	EXPECT_EQ (b.poll ().role, 0);

	uint32_t before = generation ();
	a.controller->sendRequest (kMessagePrimary);
	EXPECT_EQ (generation (), before + 1);
	EXPECT_EQ (a.controller->cachedStatus ().role, 1); // the answer came at once
	EXPECT_EQ (b.poll ().role, 2);

	a.controller->sendRequest (kMessagePrimary); // the primary gives the role up
	EXPECT_EQ (generation (), before + 2);
	EXPECT_EQ (a.controller->cachedStatus ().role, 0);
	EXPECT_EQ (b.poll ().role, 0);

	a.controller->sendRequest (kMessagePrimary);
	b.controller->sendRequest (kMessagePrimary); // B takes over from A
	EXPECT_EQ (generation (), before + 4);
	EXPECT_EQ (b.controller->cachedStatus ().role, 1);
	EXPECT_EQ (a.poll ().role, 2);
	processWide ().primarySerial = 0;
}

TEST (Messages, RenamesAreCleanedAndBadOnesGetNoAnswer)
{
	LinkedInstance recorded (false);
	auto& log = *recorded.recorder;

	EXPECT_EQ (sendName (recorded, std::u16string (70, u'n')), kResultOk);
	EXPECT_EQ (log.count (kMessageStatus), 1);
	EXPECT_EQ (log.lastName, std::u16string (64, u'n'));

	EXPECT_EQ (sendName (recorded, u""), kResultOk);
	EXPECT_EQ (log.lastName, u"Audio Server");
	EXPECT_EQ (sendName (recorded, std::u16string (63, u'k') + u"\U0001F3B9"), kResultOk); // pair across the cut
	EXPECT_EQ (log.lastName, std::u16string (63, u'k'));
	EXPECT_EQ (sendName (recorded, u"Room\tMic"), kResultOk);
	EXPECT_EQ (log.lastName, u"Room Mic");

	const uint32_t before = generation ();
	const char16_t lone[] = {u'x', 0xDC00, 0};
	EXPECT_EQ (sendName (recorded, lone), kInvalidArgument);
	EXPECT_EQ (recorded.processorPoint->notify (makeMessage (kMessageName)), kInvalidArgument); // no "name"
	EXPECT_EQ (log.count (kMessageStatus), 4);
	EXPECT_EQ (generation (), before); // renames leave the auditions alone

	EXPECT_NE (recorded.processorPoint->notify (makeMessage ("tarvo.unknown")), kResultOk);
	EXPECT_EQ (recorded.processorPoint->notify (nullptr), kInvalidArgument);
	EXPECT_EQ (log.count (kMessageStatus), 4);

	// The answer carries the five attributes; poll and clear are answered too.
	recorded.processorPoint->notify (makeMessage (kMessagePoll));
	recorded.processorPoint->notify (makeMessage (kMessageClear));
	EXPECT_EQ (log.count (kMessageStatus), 6);
	EXPECT_EQ (log.lastText, u"Waiting for Tarvo");
	EXPECT_EQ (log.lastName, u"Room Mic");
}

TEST (Messages, TheControllerValidatesStatusMessages)
{
	LinkedInstance instance;
	Controller& controller = *instance.controller;
	const SenderStatus fresh = controller.cachedStatus ();

	EXPECT_EQ (controller.notify (statusMessage (3)), kInvalidArgument);
	EXPECT_EQ (controller.notify (statusMessage (-1)), kInvalidArgument);
	EXPECT_EQ (controller.notify (statusMessage (1, true, 3)), kInvalidArgument);
	EXPECT_EQ (controller.notify (statusMessage (1, true, 0, false)), kInvalidArgument);
	auto noAttributes = makeMessage (kMessageStatus);
	noAttributes->getAttributes ()->setInt (kAttributeRole, 1);
	EXPECT_EQ (controller.notify (noAttributes), kInvalidArgument);
	EXPECT_EQ (controller.cachedStatus (), fresh);

	// Without "auditionMode" the status is taken, with mode 0.
	EXPECT_EQ (controller.notify (statusMessage (2, false)), kResultOk);
	SenderStatus expected;
	expected.name = u"Keys";
	expected.text = u"Band Solo active";
	expected.role = 2;
	expected.connected = true;
	expected.auditionMode = 0;
	EXPECT_EQ (controller.cachedStatus (), expected);
	EXPECT_EQ (controller.notify (statusMessage (1, true, 2)), kResultOk);
	EXPECT_EQ (controller.cachedStatus ().auditionMode, 2);

	// An over-long name is cut at the receiving buffer.
	auto longName = statusMessage (0);
	longName->getAttributes ()->setString (kAttributeName, reinterpret_cast<const TChar*> (std::u16string (90, u'L').c_str ()));
	EXPECT_EQ (controller.notify (longName), kResultOk);
	EXPECT_EQ (controller.cachedStatus ().name, std::u16string (64, u'L'));
}

TEST (Messages, RenameSenderSendsOnlyRealChangesAndMarksTheProject)
{
	LinkedInstance instance;
	host::ComponentHandler handler;
	instance.controller->setComponentHandler (&handler);
	instance.poll ();

	instance.controller->renameSender (u"Audio Server"); // the cached name
	EXPECT_EQ (handler.dirtyTrue.load (), 0);
	instance.controller->renameSender (std::u16string (65, u'x'));
	EXPECT_EQ (handler.dirtyTrue.load (), 0);
	EXPECT_EQ (instance.poll ().name, u"Audio Server");

	instance.controller->renameSender (std::u16string (64, u'y'));
	EXPECT_EQ (handler.dirtyTrue.load (), 1);
	EXPECT_EQ (instance.poll ().name, std::u16string (64, u'y'));
	instance.controller->setComponentHandler (nullptr);
}

TEST (Messages, CreateViewOnlyForTheEditor)
{
	LinkedInstance instance;
	IPtr<IPlugView> view = owned (instance.controller->createView ("editor"));
	ASSERT_TRUE (view);
	ViewRect size;
	EXPECT_EQ (view->getSize (&size), kResultOk);
	EXPECT_EQ (size.getWidth (), 360);
	EXPECT_EQ (size.getHeight (), 210);
	EXPECT_EQ (view->isPlatformTypeSupported ("HWND"), kResultTrue);
	EXPECT_EQ (view->isPlatformTypeSupported ("NSView"), kResultFalse);
	EXPECT_EQ (view->isPlatformTypeSupported (nullptr), kResultFalse);
	EXPECT_EQ (instance.controller->createView ("Editor"), nullptr);
	EXPECT_EQ (instance.controller->createView (nullptr), nullptr);
}

TEST (Messages, AClearReachesEveryConnectedSender)
{
	test::RuntimeDirectory runtime;
	LinkedInstance a, b;
	a.controller->renameSender (u"Sender A");
	b.controller->renameSender (u"Sender B");
	a.activate ();
	b.activate ();
	client::VisualiserClient clientA, clientB;
	std::vector<client::SenderRecord> senders;
	ASSERT_TRUE (test::waitUntil ([&] { return (senders = client::listSenders (runtime.path ())).size () == 2; }, 3000ms));
	if (senders[0].label != "Sender A")
		std::swap (senders[0], senders[1]);
	ASSERT_EQ (senders[0].label, "Sender A");
	std::string error;
	ASSERT_TRUE (clientA.connect (senders[0], error)) << error;
	ASSERT_TRUE (clientB.connect (senders[1], error)) << error;
	ASSERT_TRUE (test::waitUntil ([&] {
		a.process ();
		b.process ();
		return a.poll ().text == u"Connected \u00B7 full audio" && b.poll ().text == u"Connected \u00B7 full audio";
	}, 3000ms));

	a.controller->sendRequest (kMessageClear);
	a.process ();
	b.process ();
	EXPECT_EQ (a.poll ().text, u"Full audio \u00B7 cleared");
	EXPECT_EQ (b.poll ().text, u"Full audio \u00B7 cleared");

	// Each visualiser acknowledges for its own sender.
	auto first = test::readUntil (clientA, [] (const client::Frame& f) { return f.header.stateCode == 6; });
	ASSERT_TRUE (first);
	const auto ack = makeCommand (first->header.sessionId, 1, 1, 0, 250.0f, 1000.0f, 6000.0f, 0);
	ASSERT_TRUE (clientA.sendBytes (&ack, sizeof ack, error));
	EXPECT_TRUE (test::waitUntil ([&] {
		a.process ();
		b.process ();
		return a.poll ().text == u"Connected \u00B7 full audio";
	}, 2000ms));
	EXPECT_EQ (b.poll ().text, u"Full audio \u00B7 cleared");
}
