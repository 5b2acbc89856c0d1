# Shared by the MinGW-w64 toolchain files, which set LOCLISTFIX_MINGW_TRIPLET,
# LOCLISTFIX_WINDOWS_ARCH (x86 or x64) and CMAKE_SYSTEM_PROCESSOR first. The
# tests' CMake runs their programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)

# The posix-threads flavour is the one Debian's g++-mingw-w64-*-posix ships;
# the win32 flavour works too where it is installed instead.
find_program(CMAKE_CXX_COMPILER NAMES ${LOCLISTFIX_MINGW_TRIPLET}-g++-posix ${LOCLISTFIX_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${LOCLISTFIX_MINGW_TRIPLET}-gcc-posix ${LOCLISTFIX_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${LOCLISTFIX_MINGW_TRIPLET}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${LOCLISTFIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
