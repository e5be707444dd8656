# Cross build for 64-bit Windows with MinGW-w64: the test-only build that
# runs under 64-bit Wine, on hosts that cannot run 32-bit programs too.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAVRINE_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
