# Cross-compiles the 64-bit Windows build with MinGW-w64 (x86_64); ctest runs the results under Wine.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(mingwTriple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
