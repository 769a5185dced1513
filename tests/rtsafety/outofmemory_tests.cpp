// Out of memory at every step a host takes: every entry point and window procedure must
// come back with a result, never let an exception out.
#include "instrumentation.h"
#include "linkedinstance.h"
#include "teststreams.h"

#include "hostwindow.h"
#include "processor/processor.h"
#include "shared/messages.h"

#include "public.sdk/source/common/memorystream.h"

#include <gtest/gtest.h>

using namespace tarvo;
using namespace Steinberg;
using namespace Steinberg::Vst;

TEST (OutOfMemory, NothingThrownReachesTheHostOrTheWindow)
{
	test::LinkedInstance instance;
	host::ComponentHandler handler;
	instance.controller->setComponentHandler (&handler);
	IPtr<IPlugView> view = owned (instance.controller->createView ("editor"));
	host::EditorWindow window;
	std::string error;
	ASSERT_TRUE (window.open (view, L"out of memory", error)) << error;
	HWND panel = window.childOfClass (L"TarvoAudioServerPanel"), nameEdit = GetDlgItem (panel, 101);
	auto poll = test::makeMessage (kMessagePoll);
	auto rename = test::makeMessage (kMessageName);
	rename->getAttributes ()->setString (kAttributeName, reinterpret_cast<const TChar*> (u"A name long enough to allocate"));
	IPtr<MemoryStream> saved = owned (new MemoryStream);
	ASSERT_EQ (instance.component->getState (saved), kResultOk);
	SetWindowTextW (nameEdit, L"Another name that allocates");
	try
	{
		throw 0; // the runtime's unwinder sets itself up now, with memory to spare
	}
	catch (int)
	{
	}

	// The k-th allocation fails, for growing k, until a round makes every call without
	// meeting the failure.
	uint64_t failed = 1, granted = 0;
	for (; failed != 0 && granted < 2000; ++granted)
	{
		IPtr<MemoryStream> written = owned (new MemoryStream);
		FUnknown *processor = nullptr, *controller = nullptr;
		// A controller whose status lock has never been taken: the first lock may need
		// memory of its own.
		IPtr<Controller> fresh = test::makeController ();
		IPlugView *otherView = nullptr, *freshView = nullptr;
		tresult results[6] {};
		{
			// Counting, with the failure to come, ends however the block is left.
			struct EndCounting { ~EndCounting () { test::endCounting (); } } endCounting;
			test::beginCountingOnThisThread ();
			test::failAllocationAfter (granted);
			processor = createProcessorInstance (nullptr);
			controller = Controller::createInstance (nullptr);
			otherView = instance.controller->createView ("editor");
			freshView = fresh->createView ("editor");
			results[5] = freshView ? freshView->attached (window.window (), "HWND") : kOutOfMemory;
			results[0] = instance.processorPoint->notify (poll);
			results[1] = instance.processorPoint->notify (rename);
			saved->seek (0, IBStream::kIBSeekSet, nullptr);
			results[2] = instance.component->setState (saved);
			results[3] = instance.component->getState (written);
			saved->seek (0, IBStream::kIBSeekSet, nullptr);
			results[4] = instance.controller->setComponentState (saved);
			SendMessageW (panel, WM_TIMER, 1, 0);
			SendMessageW (panel, WM_COMMAND, MAKEWPARAM (101, EN_KILLFOCUS), reinterpret_cast<LPARAM> (nameEdit));
			for (WPARAM key : {VK_ESCAPE, VK_RETURN})
				SendMessageW (nameEdit, WM_KEYDOWN, key, 0);
			RedrawWindow (panel, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
			failed = test::failedAllocations ();
		}
		if (freshView)
			freshView->removed ();
		for (FUnknown* made : {processor, controller, static_cast<FUnknown*> (otherView), static_cast<FUnknown*> (freshView)})
			if (made)
				made->release ();
		// Any result will do while memory runs out (the host's own calls fail too), as long
		// as one comes back.
		for (tresult result : results)
			EXPECT_TRUE (failed != 0 || result == kResultOk) << result;
	}
	EXPECT_EQ (failed, 0u) << "still running out after " << granted << " allocations";
}
