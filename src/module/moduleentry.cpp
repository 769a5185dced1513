// Module entry: the factory and its two classes. Nothing else happens here.
#include "controller/controller.h"
#include "controller/editor.h"
#include "module/classinfo.h"
#include "processor/processor.h"
#include "shared/hostcall.h"

#include "public.sdk/source/main/pluginfactory.h"

bool InitModule ()
{
	return true;
}

bool DeinitModule ()
{
	tarvo::unregisterEditorClass ();
	return true;
}

extern "C" __declspec (dllexport) Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory ()
{
	using namespace Steinberg;
	if (gPluginFactory)
	{
		gPluginFactory->addRef ();
		return gPluginFactory;
	}
	return tarvo::orNull ([] {
		auto factory = owned (new CPluginFactory (tarvo::factoryInfo ()));
		if (!factory->registerClass (&tarvo::processorClassInfo (), tarvo::createProcessorInstance) ||
		    !factory->registerClass (&tarvo::controllerClassInfo (), tarvo::Controller::createInstance))
			return static_cast<IPluginFactory*> (nullptr); // out of memory: no half-registered factory
		gPluginFactory = factory.take ();
		return static_cast<IPluginFactory*> (gPluginFactory);
	});
}
