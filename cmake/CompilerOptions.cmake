# Options shared by every target, and the extra ones that keep the shipped
# executable small and free of runtime DLLs.

add_library(loclistfix_warnings INTERFACE)
add_library(loclistfix_lean INTERFACE)

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(loclistfix_warnings INTERFACE
        -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
        -Wold-style-cast -Wnon-virtual-dtor -Wcast-qual)
    target_compile_options(loclistfix_lean INTERFACE
        -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
        -ffunction-sections -fdata-sections)
    target_link_options(loclistfix_lean INTERFACE
        -Wl,--gc-sections $<$<CONFIG:Release,MinSizeRel>:-s>)
elseif(MSVC)
    target_compile_options(loclistfix_warnings INTERFACE /W4 /permissive- /utf-8)
    target_compile_options(loclistfix_lean INTERFACE /GR- /EHs-c- /Gy)
    target_compile_definitions(loclistfix_lean INTERFACE _HAS_EXCEPTIONS=0)
    target_link_options(loclistfix_lean INTERFACE /OPT:REF /OPT:ICF)
endif()

if(MINGW)
    # A clean Windows machine has no libstdc++, libgcc or winpthread DLLs:
    # link them in, so that only system DLLs are imported.
    add_link_options(-static)
endif()

if(MSVC)
    # Likewise, no Visual C++ redistributable is assumed.
    set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
endif()
