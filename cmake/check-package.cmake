# Unpacks the release archive and loads the module from it with our host: the bundle is
# whole, the notices are there, and the factory, its classes (with the class version in the
# archive's name) and the effect's buses are what package-info.txt says.
#   cmake -DBUILD=<build folder> -DHOST=<tarvo-host.exe> -DEMULATOR=<wine> -P check-package.cmake
file(GLOB archives "${BUILD}/TarvoAudioServerPrototype-*-win64.zip")
list(LENGTH archives count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "Expected one release archive in ${BUILD}, found ${count}: ${archives}")
endif()
string(REGEX REPLACE ".*TarvoAudioServerPrototype-(.*)-win64\\.zip$" "\\1" version "${archives}")

set(unpacked "${BUILD}/package-check")
file(REMOVE_RECURSE "${unpacked}")
file(MAKE_DIRECTORY "${unpacked}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${archives}" WORKING_DIRECTORY "${unpacked}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "Cannot unpack ${archives}")
endif()
set(bundle "${unpacked}/TarvoAudioServerPrototype.vst3")
foreach(file Contents/x86_64-win/TarvoAudioServerPrototype.vst3 Contents/Resources/moduleinfo.json
             Contents/Resources/Licences/NOTICE.txt Contents/Resources/Licences/VST3-SDK.txt
             Contents/Resources/Licences/MinGW-w64-runtime-and-winpthreads.txt
             Contents/Resources/Licences/GCC-runtime-libraries.txt)
  if(NOT EXISTS "${bundle}/${file}")
    message(FATAL_ERROR "The archive lacks ${file}")
  endif()
endforeach()
if(NOT EXISTS "${unpacked}/INSTALL.txt")
  message(FATAL_ERROR "The archive lacks INSTALL.txt")
endif()

execute_process(COMMAND ${EMULATOR} "${HOST}" info "${bundle}" OUTPUT_VARIABLE info ERROR_VARIABLE errors RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "tarvo-host could not load the unpacked bundle:\n${info}${errors}")
endif()
# Everything but the first line (the module's path) is what a host's scanner stores.
string(REPLACE "\r" "" info "${info}")
string(FIND "${info}" "\n" firstLineEnd)
math(EXPR firstLineEnd "${firstLineEnd} + 1")
string(SUBSTRING "${info}" ${firstLineEnd} -1 info)
file(READ "${CMAKE_CURRENT_LIST_DIR}/package-info.txt" expected)
string(REPLACE "@VERSION@" "${version}" expected "${expected}")
if(NOT info STREQUAL expected)
  message(FATAL_ERROR "tarvo-host info on the unpacked bundle shows:\n${info}\nexpected:\n${expected}")
endif()
file(REMOVE_RECURSE "${unpacked}")
message(STATUS "${archives}: unpacks into a bundle that loads, version ${version}")
