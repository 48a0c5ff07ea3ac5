cmake_minimum_required(VERSION 3.20)
# Builds a package with wixl: cmake -DPROGRAM=<Tessaly.exe> -DACTIONS=<custom action DLL>
# -DSOURCE=<.wxs> -DOUTPUT=<.msi> -P MakePackage.cmake. The package's version is the
# program's file version, major.minor.patch, read from its version resource.
find_program(WIXL wixl)
if(NOT WIXL)
  message(FATAL_ERROR "wixl (Debian package wixl) is needed to build the installer package: run make deps")
endif()

# A little-endian number of 1, 2 or 4 bytes at a file offset.
function(read_number offset bytes result)
  math(EXPR offset "${offset}")
  file(READ "${PROGRAM}" hex OFFSET ${offset} LIMIT ${bytes} HEX)
  set(value "")
  math(EXPR last "${bytes} - 1")
  foreach(at RANGE 0 ${last})
    math(EXPR digit "2 * ${at}")
    string(SUBSTRING "${hex}" ${digit} 2 byte)
    set(value "${byte}${value}")
  endforeach()
  math(EXPR value "0x${value}")
  set(${result} ${value} PARENT_SCOPE)
endfunction()

# The file offset of a relative virtual address, through the section table.
function(file_offset rva result)
  foreach(section RANGE 1 ${sections})
    math(EXPR header "${section_table} + 40 * (${section} - 1)")
    read_number("${header} + 8" 4 size)
    read_number("${header} + 12" 4 address)
    read_number("${header} + 20" 4 raw)
    math(EXPR end "${address} + ${size}")
    if(rva GREATER_EQUAL address AND rva LESS end)
      math(EXPR offset "${rva} - ${address} + ${raw}")
      set(${result} ${offset} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "${PROGRAM}: address ${rva} is in no section")
endfunction()

# The first entry of a resource directory (relative to the resource section at
# resources), or the one with the given id; its offset field.
function(resource_entry directory id result)
  read_number("${resources} + ${directory} + 12" 2 named)
  read_number("${resources} + ${directory} + 14" 2 ids)
  math(EXPR count "${named} + ${ids}")
  foreach(index RANGE 1 ${count})
    math(EXPR entry "${resources} + ${directory} + 16 + 8 * (${index} - 1)")
    read_number("${entry}" 4 name)
    if(id STREQUAL "" OR name EQUAL id)
      read_number("${entry} + 4" 4 target)
      math(EXPR target "${target} & 0x7fffffff")
      set(${result} ${target} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "${PROGRAM} has no version resource")
endfunction()

# The program's own version resource (type 16), not one of a file it carries: PE header,
# resource data directory, the first name and language of type 16, its data.
read_number(60 4 pe)
read_number("${pe} + 6" 2 sections)
read_number("${pe} + 20" 2 optional_size)
math(EXPR optional "${pe} + 24")
read_number("${optional}" 2 magic)
if(magic EQUAL 0x20b)
  math(EXPR directories "${optional} + 112")
else()
  math(EXPR directories "${optional} + 96")
endif()
math(EXPR section_table "${optional} + ${optional_size}")
read_number("${directories} + 16" 4 resource_rva)
file_offset(${resource_rva} resources)
resource_entry(0 16 names)
resource_entry(${names} "" languages)
resource_entry(${languages} "" data_entry)
read_number("${resources} + ${data_entry}" 4 data_rva)
file_offset(${data_rva} data)
# VS_VERSIONINFO: three words and "VS_VERSION_INFO" with its terminator in UTF-16, padded
# to 4, then VS_FIXEDFILEINFO, which begins with the signature 0xFEEF04BD.
math(EXPR fixed "${data} + 40")
read_number(${fixed} 4 signature)
if(NOT signature EQUAL 0xFEEF04BD)
  message(FATAL_ERROR "${PROGRAM}: the version resource has no VS_FIXEDFILEINFO")
endif()
# dwFileVersionMS (major, minor) at 8, dwFileVersionLS (patch, revision) at 12.
read_number("${fixed} + 10" 2 major)
read_number("${fixed} + 8" 2 minor)
read_number("${fixed} + 14" 2 patch)
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
