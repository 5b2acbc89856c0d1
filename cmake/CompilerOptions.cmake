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

# Every executable gets the same linking: the static runtime (a clean Windows
# machine has no libstdc++, libgcc, winpthread or Visual C++ runtime DLLs),
# ASLR, DEP and terminal-server awareness in the PE header, and no link time
# stamp, so that a build depends on nothing but its sources.
if(MINGW)
    add_link_options(-static -Wl,--dynamicbase,--nxcompat,--tsaware,--no-insert-timestamp)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        add_link_options(-Wl,--high-entropy-va)
    endif()
    # Paths of the build machine would otherwise reach the objects.
    add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
elseif(MSVC)
    set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
    add_link_options(/DYNAMICBASE /NXCOMPAT /TSAWARE /Brepro)
    add_compile_options(/Brepro)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        add_link_options(/HIGHENTROPYVA)
    endif()
endif()
