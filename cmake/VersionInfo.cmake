# Gives a deliverable its version resource: the project's version, its own file name and
# description.
function(tessaly_version_resource target file_name file_type description)
  set(TESSALY_FILE_NAME ${file_name})
  set(TESSALY_FILE_TYPE ${file_type})
  set(TESSALY_FILE_DESCRIPTION ${description})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/VersionInfo.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
