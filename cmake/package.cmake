# Makes the release of a built bundle, beside each other in OUT:
#   <product>-<version>-win64.zip    the bundle as a DAW expects it, licence notices, install steps
#   <product>-<version>-win64.msi    a per-machine installer of the same bundle
#   <product>-<version>-win64.debug  the module's debugging information, which the released
#                                    module names (and checks by CRC) in .gnu_debuglink
# <version> is the class version the module reports, read from the bundle's moduleinfo.json.
# The same commit gives byte-identical modules and archives wherever it is built: every
# stored time is the commit's (or SOURCE_DATE_EPOCH), files go in in a fixed order, and the
# build's paths were mapped away by the compiler. So is the installer: its package code,
# which must differ between any two different packages, is derived from what it holds.
# A package for the installer test (-DTEST_PACKAGE=ON) has a product code of its own, so
# that it never stands in the way of a real release of its version, and lacks one licence
# notice, so that an upgrade to it shows whether a file of the older build stays behind.
#   cmake -DBUNDLE=<bundle folder> -DOUT=<folder> -DSDK=<VST 3 SDK root> -DSOURCE=<repository>
#         -DSTRIP=<strip> -DOBJCOPY=<objcopy> -DWIXL=<wixl> -DMSIBUILD=<msibuild> -DFAKETIME=<faketime>
#         [-DTEST_PACKAGE=ON] -P package.cmake
foreach(var BUNDLE OUT SDK SOURCE STRIP OBJCOPY WIXL MSIBUILD FAKETIME)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "package.cmake needs -D${var}=...")
  endif()
endforeach()

file(READ "${BUNDLE}/Contents/Resources/moduleinfo.json" moduleinfo)
string(JSON version GET "${moduleinfo}" Classes 0 Version)
if(NOT version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "The module reports the version \"${version}\", not major.minor.patch")
endif()
get_filename_component(bundle_name "${BUNDLE}" NAME)
get_filename_component(product "${BUNDLE}" NAME_WE)
set(stem "${product}-${version}-win64")
set(archive "${OUT}/${stem}.zip")
set(installer "${OUT}/${stem}.msi")
set(debug_file "${OUT}/${stem}.debug")
# The release of an earlier version goes: the folder holds the release of the module it
# built, and only that one.
file(GLOB earlier "${OUT}/${product}-*-win64.zip" "${OUT}/${product}-*-win64.msi" "${OUT}/${product}-*-win64.debug")
if(earlier)
  file(REMOVE ${earlier})
endif()

# The one time stamp everything stored carries: the commit's.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${SOURCE}" log -1 --format=%ct OUTPUT_VARIABLE epoch
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    set(epoch 1767225600) # not a checkout: 2026-01-01
  endif()
endif()
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
set(ENV{TZ} UTC)
string(TIMESTAMP stamp "%Y-%m-%d %H:%M:%S" UTC)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command} failed:\n${output}")
  endif()
endfunction()

set(stage "${OUT}/package-stage")
file(REMOVE_RECURSE "${stage}")
file(COPY "${BUNDLE}" DESTINATION "${stage}")

# The released module keeps no symbol table and no debugging information; that goes to
# the debug file, which a crash report's addresses are resolved against. The PE header
# keeps the linker's zero time stamp (binutils stamps SOURCE_DATE_EPOCH otherwise).
set(module "${stage}/${bundle_name}/Contents/x86_64-win/${product}.vst3")
file(REMOVE "${debug_file}")
run(${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 "${OBJCOPY}" --only-keep-debug "${module}" "${debug_file}")
run(${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 "${STRIP}" --strip-all "${module}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 "${OBJCOPY}" --add-gnu-debuglink=${stem}.debug
                        "${module}" WORKING_DIRECTORY "${OUT}" RESULT_VARIABLE rc ERROR_VARIABLE output)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "Could not link the module to ${debug_file}:\n${output}")
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
  configure_file("/usr/share/doc/${package}/copyright" "${licences}/${name}" COPYONLY)
endforeach()
if(NOT TEST_PACKAGE)
  configure_file("${SOURCE}/cmake/package-notice.txt" "${licences}/NOTICE.txt" COPYONLY)
endif()
configure_file("${SOURCE}/cmake/package-install.txt" "${stage}/INSTALL.txt" @ONLY)

# Every file and folder the same: the commit's time, plain permissions, sorted names.
file(GLOB_RECURSE files RELATIVE "${stage}" "${stage}/*")
list(SORT files)
file(GLOB_RECURSE folders LIST_DIRECTORIES true RELATIVE "${stage}" "${stage}/*")
foreach(path IN LISTS folders)
  if(IS_DIRECTORY "${stage}/${path}")
    file(CHMOD "${stage}/${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD "${stage}/${path}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
  run(touch -h -d "@${epoch}" "${stage}/${path}")
endforeach()

# The archive: names in order, no directory entries, no extra fields (which would carry
# access and change times); zip stores local time, which is UTC here.
list(JOIN files "\n" listing)
file(WRITE "${OUT}/package-files.txt" "${listing}\n")
file(REMOVE "${archive}")
execute_process(COMMAND zip -X -D -q -9 "${archive}" -@ INPUT_FILE "${OUT}/package-files.txt"
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE rc ERROR_VARIABLE output)
file(REMOVE "${OUT}/package-files.txt")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "Could not write ${archive}:\n${output}")
endif()

# The installer: the bundle into the 64-bit Common Files folder's VST3 folder, every
# folder of it removed again on uninstall. The upgrade code never changes; the product
# code follows the version, so a newer build replaces an older one (a major upgrade) and
# an older one is refused. The upgrade removes the older product completely before it
# installs anything, so each version's components are its own (their codes follow the
# version too): no file of the older one is kept back as still in use, whatever versions
# the files on disk carry.
set(upgrade_code "5B0F3D1E-7A42-4C6B-9E85-2D4F6A8C1B37")
if(TEST_PACKAGE)
  string(UUID product_code NAMESPACE "${upgrade_code}" NAME "test product ${version}" TYPE SHA1 UPPER)
else()
  string(UUID product_code NAMESPACE "${upgrade_code}" NAME "product ${version}" TYPE SHA1 UPPER)
endif()
set(tree "")
set(refs "")
function(installer_folder relative depth)
  get_filename_component(name "${relative}" NAME)
  string(MD5 hash "${relative}")
  string(SUBSTRING "${hash}" 0 20 hash)
  string(UUID guid NAMESPACE "${upgrade_code}" NAME "folder ${version} ${relative}" TYPE SHA1 UPPER)
  string(REPEAT "  " ${depth} pad)
  string(APPEND tree "${pad}<Directory Id=\"d${hash}\" Name=\"${name}\">\n"
         "${pad}  <Component Id=\"c${hash}\" Guid=\"${guid}\" Win64=\"yes\">"
         "<CreateFolder/><RemoveFolder Id=\"r${hash}\" On=\"uninstall\"/></Component>\n")
  list(APPEND refs "c${hash}")
  file(GLOB children LIST_DIRECTORIES true RELATIVE "${stage}" "${stage}/${relative}/*")
  list(SORT children)
  math(EXPR inner "${depth} + 1")
  foreach(child IN LISTS children)
    if(IS_DIRECTORY "${stage}/${child}")
      installer_folder("${child}" ${inner})
    else()
      string(MD5 id "${child}")
      string(SUBSTRING "${id}" 0 20 id)
      string(REPEAT "  " ${inner} filepad)
      string(UUID file_guid NAMESPACE "${upgrade_code}" NAME "file ${version} ${child}" TYPE SHA1 UPPER)
      string(APPEND tree "${filepad}<Component Id=\"c${id}\" Guid=\"${file_guid}\" Win64=\"yes\">"
             "<File Id=\"f${id}\" Source=\"${child}\" KeyPath=\"yes\"/></Component>\n")
      list(APPEND refs "c${id}")
    endif()
  endforeach()
  string(APPEND tree "${pad}</Directory>\n")
  set(tree "${tree}" PARENT_SCOPE)
  set(refs "${refs}" PARENT_SCOPE)
endfunction()
installer_folder("${bundle_name}" 5)
set(component_refs "")
foreach(ref IN LISTS refs)
  string(APPEND component_refs "      <ComponentRef Id=\"${ref}\"/>\n")
endforeach()
# In the folder whose files it names: wixl finds them from where it runs.
configure_file("${SOURCE}/cmake/installer.wxs" "${stage}/installer.wxs" @ONLY)
file(REMOVE "${installer}")
# wixl stamps the database with the time it runs; it runs at the commit's.
execute_process(COMMAND "${FAKETIME}" -f "${stamp}" "${WIXL}" --arch x64 -o "${installer}" installer.wxs
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "Could not write ${installer}:\n${output}")
endif()
# What wixl leaves out: the module's version, without which Windows Installer keeps any
# versioned module it finds in place (a bundle copied there by hand) rather than this one;
# and a package code of the package's own, from its version and every byte it installs.
set(module_file "${bundle_name}/Contents/x86_64-win/${product}.vst3")
string(MD5 module_id "${module_file}")
string(SUBSTRING "${module_id}" 0 20 module_id)
file(READ "${stage}/installer.wxs" payload)
foreach(file IN LISTS files)
  file(SHA256 "${stage}/${file}" hash)
  string(APPEND payload "${file} ${hash}\n")
endforeach()
string(UUID package_code NAMESPACE "${upgrade_code}" NAME "package ${payload}" TYPE SHA1 UPPER)
execute_process(COMMAND "${FAKETIME}" -f "${stamp}" "${MSIBUILD}" "${installer}"
                        -q "UPDATE `File` SET `Version` = '${version}.0' WHERE `File` = 'f${module_id}'"
                        -q "DELETE FROM `MsiFileHash` WHERE `File_` = 'f${module_id}'"
                        -s "Tarvo Audio Server ${version} installer" Tarvo "x64;1033" "{${package_code}}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "Could not complete ${installer}:\n${output}")
endif()

file(REMOVE_RECURSE "${stage}")
message(STATUS "Wrote ${archive}, ${installer} and ${debug_file}")
