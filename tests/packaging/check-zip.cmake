# The zip a Windows user unpacks: exactly the programs, stripped of their
# symbols, WIN95.INF and a README.TXT whose every line ends in CR LF, as
# Windows 95's Notepad needs.
#   cmake -DZIP=<zip> -DWORK=<folder> -DNM=<nm> -P check-zip.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${ZIP} WORKING_DIRECTORY ${WORK}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${ZIP}")
endif()
file(GLOB names RELATIVE ${WORK} ${WORK}/*)
list(SORT names)
if(NOT names STREQUAL "README.TXT;WIN95.INF;prnpurge.exe;prnsetup.exe")
  message(FATAL_ERROR "${ZIP} holds: ${names}")
endif()

foreach(program IN ITEMS prnpurge.exe prnsetup.exe)
  execute_process(COMMAND ${NM} ${WORK}/${program} OUTPUT_VARIABLE symbols
                  ERROR_VARIABLE nm_error RESULT_VARIABLE status)
  if(NOT symbols STREQUAL "" OR NOT nm_error MATCHES "no symbols")
    string(LENGTH "${symbols}" length)
    message(FATAL_ERROR "${program} in ${ZIP} is not stripped: nm lists ${length} bytes "
                        "of symbols ${nm_error}")
  endif()
endforeach()

# One "xx " per byte, so that a match cannot straddle two bytes.
file(READ ${WORK}/README.TXT text HEX)
string(REGEX REPLACE "(..)" "\\1 " bytes "${text}")
string(REGEX MATCHALL "0d 0a " crlf "${bytes}")
string(REGEX MATCHALL "0a " lf "${bytes}")
string(REGEX MATCHALL "0d " cr "${bytes}")
list(LENGTH crlf crlf)
list(LENGTH lf lf)
list(LENGTH cr cr)
if(crlf EQUAL 0 OR NOT crlf EQUAL lf OR NOT crlf EQUAL cr)
  message(FATAL_ERROR "README.TXT: ${crlf} CR LF, ${lf} LF, ${cr} CR: not CR LF line ends")
endif()
message("${ZIP}: ${names}; README.TXT has ${crlf} lines, all ending in CR LF")
