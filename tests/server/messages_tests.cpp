// The sender's label, status and primary role, and the messages between processor and
// controller, with instances sharing one process.
#include "linkedinstance.h"
#include "runtimefixture.h"
#include "teststreams.h"

#include "hostwindow.h"
#include "server/audioserver.h"
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

tresult sendName (LinkedInstance& instance, const std::u16string& name)
{
	auto message = makeMessage (kMessageName);
	message->getAttributes ()->setString (kAttributeName, reinterpret_cast<const TChar*> (name.c_str ()));
	return instance.processorPoint->notify (message);
}

} // namespace

TEST (AudioServer, LabelRolesAndThePrimarysDeparture)
{
	processWide ().primarySerial = 0;
	auto first = std::make_unique<AudioServer> ();
	auto second = std::make_unique<AudioServer> ();
	EXPECT_EQ (std::make_pair (second->instanceSerial (), first->labelGeneration ()), std::make_pair (first->instanceSerial () + 1, 1u));
	first->setLabel (u"Drums");
	first->setLabel (u"Drums"); // unchanged text still counts
	EXPECT_EQ (first->labelGeneration (), 3u);
	const char16_t lone[] = {u'a', 0xD800, 0};
	EXPECT_THROW (first->setLabel (lone), std::runtime_error);
	EXPECT_EQ (first->labelGeneration (), 3u);

	EXPECT_EQ (first->status (), (SenderStatus {u"Drums", u"Waiting for Tarvo"})); // no primary, not connected, no audition
	processWide ().primarySerial = first->instanceSerial ();
	EXPECT_EQ (std::make_tuple (first->status ().role, second->status ().role), std::make_tuple (1, 2));

	// Only the primary's departure withdraws the role, and bumps the generation once.
	auto primary = [] { return std::make_pair (processWide ().primarySerial.load (), test::primaryGeneration ()); };
	const uint32_t before = test::primaryGeneration ();
	second.reset ();
	EXPECT_EQ (primary (), std::make_pair (first->instanceSerial (), before));
	first.reset ();
	EXPECT_EQ (primary (), std::make_pair (0u, before + 1));

	// Bumps between two process calls count as one change; nothing is captured while no
	// visualiser is connected.
	AudioServer server;
	auto& count = server.mailbox ().primaryChangeCount;
	for (const auto& [bump, calls, changes] : {std::make_tuple (0u, 1, 0u), std::make_tuple (3u, 2, 1u), std::make_tuple (1u, 1, 2u)})
	{
		processWide ().primaryGeneration.fetch_add (bump);
		for (int call = 0; call < calls; ++call)
			server.followPrimaryGeneration ();
		EXPECT_EQ (count.load (), changes) << bump << " more, " << calls << " calls";
	}
	const float samples[8] = {1, 2, 3, 4, 5, 6, 7, 8}, *channels[2] = {samples, samples};
	const double wide[8] = {}, *wideChannels[1] = {wide};
	server.capture (channels, 2, 8, 0, 48000.0);
	server.capture (wideChannels, 1, 8, 0, 48000.0);
	EXPECT_EQ (std::make_pair (server.ring ().waiting (), server.ring ().nextSequence ()), std::make_pair (0u, 0u));
}

TEST (Messages, RenamesAreCleanedStatusIsValidatedAndTheControllerMakesOneView)
{
	LinkedInstance recorded (false);
	auto& log = *recorded.recorder;
	const uint32_t before = test::primaryGeneration (); // renames leave the auditions alone
	const struct { std::u16string sent, label; } renames[] = {
	    {std::u16string (70, u'n'), std::u16string (64, u'n')},
	    {std::u16string (63, u'k') + u"\U0001F3B9", std::u16string (63, u'k')}, // a pair across the cut
	    {u"Room\tMic", u"Room Mic"}};
	int answers = 0;
	for (const auto& r : renames)
	{
		EXPECT_EQ (sendName (recorded, r.sent), kResultOk);
		EXPECT_EQ (log.count (kMessageStatus), ++answers);
		EXPECT_EQ (log.lastName, r.label);
	}
	const char16_t lone[] = {u'x', 0xDC00, 0};
	EXPECT_EQ (sendName (recorded, lone), kInvalidArgument);
	EXPECT_EQ (recorded.processorPoint->notify (makeMessage (kMessageName)), kInvalidArgument); // no "name"
	EXPECT_NE (recorded.processorPoint->notify (makeMessage ("tarvo.unknown")), kResultOk);
	EXPECT_EQ (recorded.processorPoint->notify (nullptr), kInvalidArgument);
	EXPECT_EQ (std::make_pair (log.count (kMessageStatus), test::primaryGeneration ()), std::make_pair (answers, before));

	// Poll and clear are answered with the five attributes.
	recorded.processorPoint->notify (makeMessage (kMessagePoll));
	recorded.processorPoint->notify (makeMessage (kMessageClear));
	EXPECT_EQ (std::make_tuple (log.count (kMessageStatus), log.lastName, log.lastText, log.lastRole, log.lastConnected, log.lastMode),
	           std::make_tuple (answers + 2, std::u16string (u"Room Mic"), std::u16string (u"Waiting for Tarvo"), 0, 0, 0));

	LinkedInstance instance;
	Controller& controller = *instance.controller;
	const SenderStatus fresh = controller.cachedStatus ();
	auto status = [] (int64 role, int64 mode, bool withMode = true, bool withName = true) {
		auto message = makeMessage (kMessageStatus);
		IAttributeList* a = message->getAttributes ();
		if (withName)
			a->setString (kAttributeName, reinterpret_cast<const TChar*> (u"Keys"));
		a->setString (kAttributeStatus, reinterpret_cast<const TChar*> (u"Band Solo active"));
		a->setInt (kAttributeRole, role);
		a->setInt (kAttributeConnected, 2);
		if (withMode)
			a->setInt (kAttributeAuditionMode, mode);
		return message;
	};
	for (auto refused : {status (3, 0), status (-1, 0), status (1, 3), status (1, -1), status (1, 0, true, false)})
		EXPECT_EQ (controller.notify (refused), kInvalidArgument);
	auto roleOnly = makeMessage (kMessageStatus);
	roleOnly->getAttributes ()->setInt (kAttributeRole, 1);
	EXPECT_EQ (controller.notify (roleOnly), kInvalidArgument);
	EXPECT_EQ (controller.cachedStatus (), fresh);

	EXPECT_EQ (controller.notify (status (2, 0, false)), kResultOk); // without a mode: mode 0
	EXPECT_EQ (controller.cachedStatus (), (SenderStatus {u"Keys", u"Band Solo active", 2, true}));
	EXPECT_EQ (controller.notify (status (1, 2)), kResultOk);
	EXPECT_EQ (controller.cachedStatus ().auditionMode, 2);
	auto longName = status (0, 0);
	longName->getAttributes ()->setString (kAttributeName, reinterpret_cast<const TChar*> (std::u16string (90, u'L').c_str ()));
	EXPECT_EQ (controller.notify (longName), kResultOk);
	EXPECT_EQ (controller.cachedStatus ().name, std::u16string (64, u'L'));

	// A rename goes out only when it is a change the processor can take, and marks the project.
	host::ComponentHandler handler;
	controller.setComponentHandler (&handler);
	instance.poll ();
	controller.renameSender (u"Audio Server"); // the cached name
	controller.renameSender (std::u16string (65, u'x'));
	EXPECT_EQ (std::make_tuple (handler.dirtyTrue.load (), instance.poll ().name), std::make_tuple (0, u"Audio Server"));
	controller.renameSender (std::u16string (64, u'y'));
	EXPECT_EQ (std::make_tuple (handler.dirtyTrue.load (), instance.poll ().name), std::make_tuple (1, std::u16string (64, u'y')));
	controller.setComponentHandler (nullptr);
	// With no processor to take it nothing goes out, and the project stays as it was.
	IPtr<Controller> alone = test::makeController ();
	alone->initialize (host::hostContext ());
	alone->setComponentHandler (&handler);
	alone->renameSender (u"Nobody hears this");
	EXPECT_EQ (handler.dirtyTrue.load (), 1);
	alone->terminate ();

	IPtr<IPlugView> view = owned (controller.createView ("editor"));
	ASSERT_TRUE (view);
	ViewRect size;
	EXPECT_EQ (view->getSize (&size), kResultOk);
	EXPECT_EQ (std::make_pair (size.getWidth (), size.getHeight ()), std::make_pair (360, 210));
	EXPECT_EQ (std::make_tuple (view->isPlatformTypeSupported ("HWND"), view->isPlatformTypeSupported ("NSView"),
	                            view->isPlatformTypeSupported (nullptr)), std::make_tuple (kResultTrue, kResultFalse, kResultFalse));
	EXPECT_EQ (std::make_tuple (controller.createView ("Editor"), controller.createView (nullptr)), std::make_tuple (nullptr, nullptr));
}

TEST (Messages, AClearReachesEveryConnectedSenderUntilEachIsAcknowledged)
{
	test::RuntimeDirectory runtime;
	LinkedInstance a, b (false); // b answers a recorder, which sees the raw attributes
	a.controller->renameSender (u"Sender A");
	sendName (b, u"Sender B");
	a.activate ();
	b.activate ();
	std::vector<client::SenderRecord> senders;
	ASSERT_TRUE (test::waitUntil ([&] { return (senders = client::listSenders (runtime.path ())).size () == 2; }, 3000ms));
	if (senders[0].label != "Sender A")
		std::swap (senders[0], senders[1]);
	client::VisualiserClient clientA, clientB;
	std::string error;
	ASSERT_TRUE (clientA.connect (senders[0], error)) << error;
	ASSERT_TRUE (clientB.connect (senders[1], error)) << error;
	// Both go on processing meanwhile, as hosts do.
	auto until = [&] (const std::function<bool ()>& done, std::chrono::milliseconds limit) {
		return test::waitUntil ([&] { return a.process (), b.process (), done (); }, limit);
	};
	auto both = [&] (const char16_t* text) { return until ([&] { return a.poll ().text == text && b.poll ().text == text; }, 3000ms); };
	ASSERT_TRUE (both (u"Connected \u00B7 full audio"));
	EXPECT_EQ (std::make_tuple (a.poll ().connected, b.recorder->lastConnected), std::make_tuple (true, 1));

	a.controller->sendRequest (kMessageClear);
	ASSERT_TRUE (both (u"Full audio \u00B7 cleared"));
	auto cleared = test::readUntil (clientA, [] (const client::Frame& f) { return f.header.stateCode == 6; });
	ASSERT_TRUE (cleared);
	const auto ack = makeCommand (cleared->header.sessionId, 1, 1, 0, 250.0f, 1000.0f, 6000.0f, 0);
	ASSERT_TRUE (clientA.sendBytes (&ack, sizeof ack, error));
	EXPECT_TRUE (until ([&] { return a.poll ().text == u"Connected \u00B7 full audio"; }, 2000ms));
	EXPECT_EQ (b.poll ().text, u"Full audio \u00B7 cleared");
}
