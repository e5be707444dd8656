# The package a Windows user gets: a zip holding the programs (stripped of
# their symbols, which only a debugger wants), the driver's
# setup information file and a README.TXT, built with every Windows build
# and named with the version. Only the i686 one is shipped; the x86-64
# build packs the same files for its tests under another name.
enable_language(RC)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(TAVRINE_ZIP ${CMAKE_BINARY_DIR}/${PROJECT_NAME}-${PROJECT_VERSION}-x64-test.zip)
else()
  set(TAVRINE_ZIP ${CMAKE_BINARY_DIR}/${PROJECT_NAME}-${PROJECT_VERSION}.zip)
endif()
set(TAVRINE_ZIP_DIR ${CMAKE_BINARY_DIR}/zip)

# Each program carries a version resource, which the file's Properties
# sheet shows; the company and copyright are those of packaging/copyright.
set(TAVRINE_COMPANY "Tavrine printer tools developers")
set(TAVRINE_COPYRIGHT "Copyright (C) 2026 Tavrine printer tools developers")
function(tavrine_version_resource program description)
  set(TAVRINE_PROGRAM ${program})
  set(TAVRINE_FILE_DESCRIPTION "${description}")
  configure_file(${CMAKE_SOURCE_DIR}/packaging/version.rc.in
                 ${CMAKE_BINARY_DIR}/${program}-version.rc @ONLY)
  target_sources(${program} PRIVATE ${CMAKE_BINARY_DIR}/${program}-version.rc)
endfunction()
tavrine_version_resource(prnsetup "Tavrine printer installer")
tavrine_version_resource(prnpurge "Tavrine printer remover")

# Windows 95's Notepad wants CR LF line ends.
configure_file(${CMAKE_SOURCE_DIR}/packaging/README.TXT.in ${CMAKE_BINARY_DIR}/README.TXT
               @ONLY NEWLINE_STYLE DOS)

set(zipped_programs prnsetup prnpurge)
set(zipped_files ${CMAKE_BINARY_DIR}/README.TXT ${CMAKE_SOURCE_DIR}/prnsetup/WIN95.INF)
set(zipped_names README.TXT WIN95.INF)
foreach(program IN LISTS zipped_programs)
  list(APPEND zipped_files $<TARGET_FILE:${program}>)
  list(APPEND zipped_names ${program}.exe)
  list(APPEND zipped_exes ${program}.exe)
endforeach()

add_custom_command(
  OUTPUT ${TAVRINE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TAVRINE_ZIP_DIR} ${TAVRINE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVRINE_ZIP_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${zipped_files} ${TAVRINE_ZIP_DIR}
  COMMAND ${CMAKE_COMMAND} -E chdir ${TAVRINE_ZIP_DIR} ${CMAKE_STRIP} --strip-all ${zipped_exes}
  COMMAND ${CMAKE_COMMAND} -E chdir ${TAVRINE_ZIP_DIR}
          ${CMAKE_COMMAND} -E tar cf ${TAVRINE_ZIP} --format=zip ${zipped_names}
  DEPENDS ${zipped_programs} ${zipped_files}
  COMMENT "Packing ${TAVRINE_ZIP}"
  VERBATIM)
add_custom_target(windows_package ALL DEPENDS ${TAVRINE_ZIP})
