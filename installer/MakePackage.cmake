cmake_minimum_required(VERSION 3.20)
# Builds a package with wixl: cmake -DPROGRAM=<Tessaly.exe> -DACTIONS=<custom action DLL>
# -DSOURCE=<.wxs> -DOUTPUT=<.msi> -P MakePackage.cmake. The package's version is the
# program's file version, major.minor.patch, read from its VS_FIXEDFILEINFO.
find_program(WIXL wixl)
if(NOT WIXL)
  message(FATAL_ERROR "wixl (Debian package wixl) is needed to build the installer package: run make deps")
endif()

file(READ "${PROGRAM}" hex HEX)
# VS_FIXEDFILEINFO starts with the signature 0xFEEF04BD, stored little-endian; only a
# match on a byte boundary counts.
set(from 0)
while(TRUE)
  string(SUBSTRING "${hex}" ${from} -1 rest)
  string(FIND "${rest}" "bd04effe" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${PROGRAM} has no version resource")
  endif()
  math(EXPR at "${from} + ${at}")
  math(EXPR odd "${at} % 2")
  if(odd EQUAL 0)
    break()
  endif()
  math(EXPR from "${at} + 1")
endwhile()

# A little-endian 16-bit word at a byte offset from the signature.
function(read_word offset result)
  math(EXPR position "${at} + 2 * ${offset}")
  string(SUBSTRING "${hex}" ${position} 4 bytes)
  string(SUBSTRING "${bytes}" 0 2 low)
  string(SUBSTRING "${bytes}" 2 2 high)
  math(EXPR value "0x${high}${low}")
  set(${result} ${value} PARENT_SCOPE)
endfunction()
# dwFileVersionMS at 8 (minor, then major), dwFileVersionLS at 12 (revision, then patch).
read_word(10 major)
read_word(8 minor)
read_word(14 patch)
set(version "${major}.${minor}.${patch}")

get_filename_component(directory "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${directory}")
# wixl finds a file's source only by a path relative to where it runs.
file(RELATIVE_PATH program "${directory}" "${PROGRAM}")
file(RELATIVE_PATH actions "${directory}" "${ACTIONS}")
execute_process(COMMAND ${WIXL} -a x64 -D Version=${version} -D Program=${program} -D Actions=${actions}
                        -o ${OUTPUT} ${SOURCE}
                WORKING_DIRECTORY "${directory}"
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "wixl failed (${result}): ${errors}")
endif()

# wixl writes every custom action it does not take for deferred as immediate; the rollback
# and commit actions get their types here: a DLL in the Binary table (1), in the script
# (0x400), as rollback (0x100) or commit (0x200), not impersonating (0x800) ("Custom
# Action In-Script Execution Options").
find_program(MSIBUILD msibuild REQUIRED)
file(STRINGS "${SOURCE}" actions REGEX "<CustomAction Id=\"[A-Za-z]+\" .*Execute=\"(rollback|commit)\"")
foreach(action IN LISTS actions)
  string(REGEX REPLACE ".*Id=\"([A-Za-z]+)\".*" "\\1" name "${action}")
  if(action MATCHES "Execute=\"rollback\"")
    set(type 3329)
  else()
    set(type 3585)
  endif()
  execute_process(COMMAND ${MSIBUILD} ${OUTPUT} -q "UPDATE `CustomAction` SET `Type` = ${type} WHERE `Action` = '${name}'"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "msibuild could not set the type of ${name}")
  endif()
endforeach()
message(STATUS "${OUTPUT}: version ${version}")
