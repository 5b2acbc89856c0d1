# Cross build for 32-bit Windows (x86) with MinGW-w64.
set(LOCLISTFIX_MINGW_TRIPLET i686-w64-mingw32)
set(LOCLISTFIX_WINDOWS_ARCH x86)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-toolchain.cmake)
