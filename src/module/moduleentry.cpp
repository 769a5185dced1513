// Module entry: the factory and its two classes. Nothing else happens here.
#include "controller/controller.h"
#include "module/classinfo.h"
#include "processor/processor.h"

#include "public.sdk/source/main/pluginfactory.h"

bool InitModule ()
{
	return true;
}

bool DeinitModule ()
{
	return true;
}

extern "C" __declspec (dllexport) Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory ()
{
	using namespace Steinberg;
	if (!gPluginFactory)
	{
		auto* factory = new CPluginFactory (tarvo::factoryInfo ());
		factory->registerClass (&tarvo::processorClassInfo (), tarvo::createProcessorInstance);
		factory->registerClass (&tarvo::controllerClassInfo (), tarvo::Controller::createInstance);
		gPluginFactory = factory;
	}
	else
	{
		gPluginFactory->addRef ();
	}
	return gPluginFactory;
}
