# The tests' PowerShell engine (tests/powershell/): a .NET program that hosts
# PowerShell, published self-contained for this build's Windows architecture
# into bin/powershell/, where `dotnet` (the .NET 10 SDK) is found. Debian has
# no .NET SDK; without one, or where publishing fails, the build says why in
# bin/powershell-engine.why-not, and the tests that need the engine skip
# themselves with that line.
#
# NuGet's packages go to its own cache (~/.nuget/packages, or NUGET_PACKAGES),
# which outlives the build tree; the engine is published again only when its
# sources change.

find_program(LOCLISTFIX_DOTNET dotnet)
set(engine_why_not ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/powershell-engine.why-not)
if(NOT LOCLISTFIX_DOTNET)
    file(WRITE ${engine_why_not} "no PowerShell engine: dotnet (the .NET 10 SDK) was not found when this build was configured")
    message(STATUS "No PowerShell engine for the tests: dotnet was not found")
endif()
# Where this build's programs cannot run, neither can its engine: its test is
# disabled (WineTesting.cmake), and nothing is published.
if(NOT LOCLISTFIX_DOTNET OR NOT LOCLISTFIX_RUNS_OWN_PROGRAMS)
    add_custom_target(powershell_engine)
    return()
endif()

if(LOCLISTFIX_WINDOWS_ARCH)
    set(engine_arch ${LOCLISTFIX_WINDOWS_ARCH})
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(engine_arch x64)
else()
    set(engine_arch x86)
endif()
set(engine_sources
    ${CMAKE_CURRENT_LIST_DIR}/../powershell/ScriptHost.csproj
    ${CMAKE_CURRENT_LIST_DIR}/../powershell/Program.cs)
set(engine_stamp ${PROJECT_BINARY_DIR}/powershell-engine/published)
add_custom_command(OUTPUT ${engine_stamp}
    COMMAND ${CMAKE_COMMAND}
        -D DOTNET=${LOCLISTFIX_DOTNET}
        -D PROJECT=${CMAKE_CURRENT_LIST_DIR}/../powershell/ScriptHost.csproj
        -D RID=win-${engine_arch}
        -D ARTIFACTS=${PROJECT_BINARY_DIR}/powershell-engine
        -D OUT=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/powershell
        -D WHY_NOT=${engine_why_not}
        -D STAMP=${engine_stamp}
        -P ${CMAKE_CURRENT_LIST_DIR}/publish-powershell-engine.cmake
    DEPENDS ${engine_sources} ${CMAKE_CURRENT_LIST_DIR}/publish-powershell-engine.cmake
    COMMENT "Publishing the tests' PowerShell engine for win-${engine_arch}"
    VERBATIM)
add_custom_target(powershell_engine ALL DEPENDS ${engine_stamp})
