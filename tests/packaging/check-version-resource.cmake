# Reads PROGRAM's version resource back with windres and fails unless it
# gives the product, its makers and copyright, DESCRIPTION and VERSION
# (x.y.z) in both its numeric and its text fields.
#   cmake -DWINDRES=<windres> -DPROGRAM=<exe> -DDESCRIPTION=<text> -DVERSION=<x.y.z>
#         -P check-version-resource.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${WINDRES} --input-format=coff --output-format=rc -i ${PROGRAM}
                OUTPUT_VARIABLE rc ERROR_VARIABLE rc_error RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${WINDRES} cannot read ${PROGRAM}: ${rc_error}")
endif()
message("${rc}")

string(REPLACE "." ", " numbers "${VERSION}")
set(problems)
foreach(wanted IN ITEMS
        "\n FILEVERSION ${numbers}, 0\n"
        "\n PRODUCTVERSION ${numbers}, 0\n"
        "VALUE \"CompanyName\", \"Tavrine printer tools developers\"\n"
        "VALUE \"FileDescription\", \"${DESCRIPTION}\"\n"
        "VALUE \"LegalCopyright\", \"Copyright (C) 2026 Tavrine printer tools developers\"\n"
        "VALUE \"FileVersion\", \"${VERSION}\"\n"
        "VALUE \"ProductName\", \"Tavrine printer tools\"\n"
        "VALUE \"ProductVersion\", \"${VERSION}\"\n")
  string(FIND "${rc}" "${wanted}" at)
  if(at EQUAL -1)
    string(STRIP "${wanted}" wanted)
    list(APPEND problems "lacks ${wanted}")
  endif()
endforeach()
if(problems)
  list(JOIN problems "\n  " problems)
  message(FATAL_ERROR "${PROGRAM}'s version resource:\n  ${problems}")
endif()
