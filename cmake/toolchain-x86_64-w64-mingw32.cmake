# Cross build for 64-bit Windows (x64) with MinGW-w64.
set(LOCLISTFIX_MINGW_TRIPLET x86_64-w64-mingw32)
set(LOCLISTFIX_WINDOWS_ARCH x64)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-toolchain.cmake)
