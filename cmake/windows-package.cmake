# The package a Windows user gets: a zip holding the programs and the
# driver's setup information file, built with every Windows build. Only the
# i686 one is shipped; the x86-64 build packs the same files for its tests
# under another name.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(TAVRINE_ZIP ${CMAKE_BINARY_DIR}/tavrine-x64-test.zip)
else()
  set(TAVRINE_ZIP ${CMAKE_BINARY_DIR}/tavrine.zip)
endif()
set(TAVRINE_ZIP_DIR ${CMAKE_BINARY_DIR}/zip)

set(zipped_programs prnsetup)
if(TARGET prnpurge)
  list(APPEND zipped_programs prnpurge)
endif()
set(zipped_files)
set(zipped_names)
foreach(program IN LISTS zipped_programs)
  list(APPEND zipped_files $<TARGET_FILE:${program}>)
  list(APPEND zipped_names ${program}.exe)
endforeach()
# The sample setup information file goes in as soon as it is in the tree.
file(GLOB setup_inf CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/prnsetup/WIN95.INF)
if(setup_inf)
  list(APPEND zipped_files ${setup_inf})
  list(APPEND zipped_names WIN95.INF)
endif()

add_custom_command(
  OUTPUT ${TAVRINE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TAVRINE_ZIP_DIR} ${TAVRINE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVRINE_ZIP_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${zipped_files} ${TAVRINE_ZIP_DIR}
  COMMAND ${CMAKE_COMMAND} -E chdir ${TAVRINE_ZIP_DIR}
          ${CMAKE_COMMAND} -E tar cf ${TAVRINE_ZIP} --format=zip ${zipped_names}
  DEPENDS ${zipped_programs} ${setup_inf}
  COMMENT "Packing ${TAVRINE_ZIP}"
  VERBATIM)
add_custom_target(windows_package ALL DEPENDS ${TAVRINE_ZIP})
