# The VST 3 SDK as a static library, built from the SDK's own sources. Where the SDK
# lacks a translation unit (Debian's copy does), the one from sdk-completion/ stands in.

set(VST3_SDK_ROOT "/usr/share/juce/modules/juce_audio_processors/format_types/VST3_SDK"
    CACHE PATH "Root of the VST 3 SDK (the folder holding pluginterfaces, base, public.sdk)")
if(NOT EXISTS "${VST3_SDK_ROOT}/pluginterfaces/base/funknown.h")
  message(FATAL_ERROR "No VST 3 SDK at ${VST3_SDK_ROOT}; run scripts/install-deps.sh or pass -DVST3_SDK_ROOT=...")
endif()
set(SDK_COMPLETION_DIR "${CMAKE_SOURCE_DIR}/sdk-completion")

set(_sdk_sources
  base/source/baseiids.cpp
  base/source/fbuffer.cpp
  base/source/fdebug.cpp
  base/source/fobject.cpp
  base/source/fstreamer.cpp
  base/source/fstring.cpp
  base/source/updatehandler.cpp
  base/thread/source/flock.cpp
  pluginterfaces/base/conststringtable.cpp
  pluginterfaces/base/coreiids.cpp
  pluginterfaces/base/funknown.cpp
  pluginterfaces/base/ustring.cpp
  public.sdk/source/common/memorystream.cpp
  public.sdk/source/common/pluginview.cpp
  public.sdk/source/vst/vstbus.cpp
  public.sdk/source/vst/vstcomponent.cpp
  public.sdk/source/vst/vstcomponentbase.cpp
  public.sdk/source/vst/vsteditcontroller.cpp
  public.sdk/source/vst/vstinitiids.cpp
  public.sdk/source/vst/vstparameters.cpp
)
# Files a complete SDK has and Debian's copy lacks.
set(_completable_sources
  public.sdk/source/vst/vstaudioeffect.cpp
  public.sdk/source/main/pluginfactory.cpp
)

set(VST3_SDK_SOURCES "")
foreach(f IN LISTS _sdk_sources)
  if(EXISTS "${VST3_SDK_ROOT}/${f}")
    list(APPEND VST3_SDK_SOURCES "${VST3_SDK_ROOT}/${f}")
  endif()
endforeach()
set(VST3_SDK_COMPLETED "")
foreach(f IN LISTS _completable_sources)
  if(EXISTS "${VST3_SDK_ROOT}/${f}")
    list(APPEND VST3_SDK_SOURCES "${VST3_SDK_ROOT}/${f}")
  else()
    list(APPEND VST3_SDK_SOURCES "${SDK_COMPLETION_DIR}/${f}")
    list(APPEND VST3_SDK_COMPLETED "${f}")
  endif()
endforeach()

# The module entry is compiled into the plug-in itself, not into the library.
if(EXISTS "${VST3_SDK_ROOT}/public.sdk/source/main/dllmain.cpp")
  set(VST3_SDK_DLLMAIN "${VST3_SDK_ROOT}/public.sdk/source/main/dllmain.cpp")
else()
  set(VST3_SDK_DLLMAIN "${SDK_COMPLETION_DIR}/public.sdk/source/main/dllmain.cpp")
  list(APPEND VST3_SDK_COMPLETED "public.sdk/source/main/dllmain.cpp")
endif()
message(STATUS "VST 3 SDK: ${VST3_SDK_ROOT}")
add_library(vst3sdk STATIC ${VST3_SDK_SOURCES})
target_include_directories(vst3sdk SYSTEM PUBLIC "${VST3_SDK_ROOT}")
if(VST3_SDK_COMPLETED)
  message(STATUS "VST 3 SDK files completed by sdk-completion/: ${VST3_SDK_COMPLETED}")
  # After the SDK's own headers, so that anything the SDK has wins.
  target_include_directories(vst3sdk SYSTEM PUBLIC "${SDK_COMPLETION_DIR}")
else()
  message(STATUS "VST 3 SDK is complete: AudioEffect, CPluginFactory and dllmain come from it; sdk-completion/ is not used")
endif()
target_compile_definitions(vst3sdk PUBLIC RELEASE=1 UNICODE _UNICODE)
target_compile_options(vst3sdk PRIVATE -w)

# Host-side helpers of the SDK: host application, messages, attribute lists (and, in SDKs
# that have it, the string conversion the host application uses).
set(_hosting_sources
  "${VST3_SDK_ROOT}/public.sdk/source/vst/hosting/hostclasses.cpp"
  "${VST3_SDK_ROOT}/public.sdk/source/vst/hosting/pluginterfacesupport.cpp")
foreach(f public.sdk/source/vst/utility/stringconvert.cpp public.sdk/source/common/commonstringconvert.cpp)
  if(EXISTS "${VST3_SDK_ROOT}/${f}")
    list(APPEND _hosting_sources "${VST3_SDK_ROOT}/${f}")
  endif()
endforeach()
add_library(vst3sdk_hosting STATIC ${_hosting_sources})
target_link_libraries(vst3sdk_hosting PUBLIC vst3sdk)
target_compile_options(vst3sdk_hosting PRIVATE -w)
