# Cross-compiles the 32-bit Windows build with MinGW-w64 (i686); ctest runs the results under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingwTriple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
