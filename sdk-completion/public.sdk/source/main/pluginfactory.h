// Completes the VST 3 SDK copy shipped by Debian, which lacks this class.
// Same name, interface and behaviour as the SDK's Steinberg::CPluginFactory.
#pragma once

#include "pluginterfaces/base/ipluginbase.h"

namespace Steinberg {

/** Default class factory: holds the factory information and a growing table of
    registered classes with their create functions. */
class CPluginFactory : public IPluginFactory3
{
public:
	CPluginFactory (const PFactoryInfo& info);
	virtual ~CPluginFactory ();

	/** Registers a plug-in class with its create function and context. */
	bool registerClass (const PClassInfo* info, FUnknown* (*createFunc) (void*),
	                    void* context = nullptr);
	bool registerClass (const PClassInfo2* info, FUnknown* (*createFunc) (void*),
	                    void* context = nullptr);
	bool registerClass (const PClassInfoW* info, FUnknown* (*createFunc) (void*),
	                    void* context = nullptr);

	/** Checks whether a class with the given ID is already registered. */
	bool isClassRegistered (const FUID& cid);

	/** Removes every registered class. */
	void removeAllClasses ();

	DECLARE_FUNKNOWN_METHODS

	//---from IPluginFactory------
	tresult PLUGIN_API getFactoryInfo (PFactoryInfo* info) SMTG_OVERRIDE;
	int32 PLUGIN_API countClasses () SMTG_OVERRIDE;
	tresult PLUGIN_API getClassInfo (int32 index, PClassInfo* info) SMTG_OVERRIDE;
	tresult PLUGIN_API createInstance (FIDString cid, FIDString _iid, void** obj) SMTG_OVERRIDE;

	//---from IPluginFactory2-----
	tresult PLUGIN_API getClassInfo2 (int32 index, PClassInfo2* info) SMTG_OVERRIDE;

	//---from IPluginFactory3-----
	tresult PLUGIN_API getClassInfoUnicode (int32 index, PClassInfoW* info) SMTG_OVERRIDE;
	tresult PLUGIN_API setHostContext (FUnknown* context) SMTG_OVERRIDE;

protected:
	struct PClassEntry
	{
		PClassInfo2 info8;
		PClassInfoW info16;

		FUnknown* (*createFunc) (void*);
		void* context;
		bool isUnicode;
	};

	PFactoryInfo factoryInfo;
	PClassEntry* classes;
	int32 classCount;
	int32 maxClassCount;

	bool growClasses ();
};

extern CPluginFactory* gPluginFactory;

} // namespace Steinberg
