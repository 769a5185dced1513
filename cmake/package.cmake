# Makes the release archive TarvoAudioServerPrototype-<version>-win64.zip: the bundle as a
# DAW expects it, with the licence notices of what it contains, and the install steps.
# <version> is the class version the factory reports, read from the bundle's moduleinfo.json.
#   cmake -DBUNDLE=<bundle folder> -DOUT=<folder> -DSDK=<VST 3 SDK root> -DSOURCE=<repository>
#         -DSTRIP=<strip tool> -P package.cmake
foreach(var BUNDLE OUT SDK SOURCE STRIP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "package.cmake needs -D${var}=...")
  endif()
endforeach()

file(READ "${BUNDLE}/Contents/Resources/moduleinfo.json" moduleinfo)
string(JSON version GET "${moduleinfo}" Classes 0 Version)
get_filename_component(bundle_name "${BUNDLE}" NAME)
get_filename_component(product "${BUNDLE}" NAME_WE)
set(archive "${OUT}/${product}-${version}-win64.zip")
# An archive of an earlier version (or of a module that reported none) goes: the build
# folder holds the archive of the module it built, and only that one.
file(GLOB earlier "${OUT}/${product}-*-win64.zip")
if(earlier)
  file(REMOVE ${earlier})
endif()

set(stage "${OUT}/package-stage")
file(REMOVE_RECURSE "${stage}")
file(COPY "${BUNDLE}" DESTINATION "${stage}")
# The release module without the debugging information the build keeps.
execute_process(COMMAND "${STRIP}" --strip-debug "${stage}/${bundle_name}/Contents/x86_64-win/${product}.vst3"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "Could not strip the module")
endif()
set(licences "${stage}/${bundle_name}/Contents/Resources/Licences")
file(MAKE_DIRECTORY "${licences}")

# The VST 3 SDK's licence texts, from the SDK the module was built with.
set(sdk_licences "")
foreach(part "" base/ pluginterfaces/ public.sdk/)
  if(EXISTS "${SDK}/${part}LICENSE.txt")
    file(READ "${SDK}/${part}LICENSE.txt" text)
    string(APPEND sdk_licences "==== ${part}LICENSE.txt of the VST 3 SDK ====\n\n${text}\n\n")
  endif()
endforeach()
if(sdk_licences STREQUAL "")
  message(FATAL_ERROR "No LICENSE.txt in the VST 3 SDK at ${SDK}")
endif()
file(WRITE "${licences}/VST3-SDK.txt" "${sdk_licences}")

# The MinGW-w64 runtime, winpthreads and GCC's runtime libraries are linked into the
# module; their notices come from the Debian packages that built it.
foreach(notice "mingw-w64-common:MinGW-w64-runtime-and-winpthreads.txt" "gcc-mingw-w64-base:GCC-runtime-libraries.txt")
  string(REPLACE ":" ";" pair "${notice}")
  list(GET pair 0 package)
  list(GET pair 1 name)
  if(NOT EXISTS "/usr/share/doc/${package}/copyright")
    message(FATAL_ERROR "No copyright file of ${package}: is it installed?")
  endif()
  configure_file ("/usr/share/doc/${package}/copyright" "${licences}/${name}" COPYONLY)
endforeach()
configure_file ("${SOURCE}/cmake/package-notice.txt" "${licences}/NOTICE.txt" COPYONLY)
configure_file ("${SOURCE}/cmake/package-install.txt" "${stage}/INSTALL.txt" @ONLY)

file(REMOVE "${archive}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E tar cf "${archive}" --format=zip "${bundle_name}" INSTALL.txt
  WORKING_DIRECTORY "${stage}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "Could not write ${archive}")
endif()
file(REMOVE_RECURSE "${stage}")
message(STATUS "Wrote ${archive}")
