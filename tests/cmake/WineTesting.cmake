# Runs the cross-built tests under Wine, in a prefix of their own inside the
# build tree. One fixture starts the prefix, another ends it once the last test
# has ended; scripts/wine.sh does both, and decides which loader runs what.
#
# Some x86-64 hosts cannot execute 32-bit programs at all; scripts/wine.sh then
# emulates them where it can. Where it cannot, the tests that run this build's
# own programs are disabled (CTest lists them as not run), and
# LOCLISTFIX_RUNS_OWN_PROGRAMS is off.

# A native build runs its tests as they are.
if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_HOST_UNIX)
    set(LOCLISTFIX_RUNS_OWN_PROGRAMS ON)
    function(loclistfix_run_under_wine)
    endfunction()
    return()
endif()

set(LOCLISTFIX_WINE ${PROJECT_SOURCE_DIR}/scripts/wine.sh)
set(LOCLISTFIX_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
# Targets made from here on run through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${LOCLISTFIX_WINE} run ${LOCLISTFIX_WINDOWS_ARCH})

# Found out by trying, at every configure, so a build tree follows its host.
# How 32-bit programs run (natively, emulated, or not at all) is decided here
# once for both presets' tests, since any Wine process may start a 32-bit one;
# LOCLISTFIX_X86_ROUTE in the configure's environment forces it.
execute_process(COMMAND ${LOCLISTFIX_WINE} can-run x86
    RESULT_VARIABLE result OUTPUT_VARIABLE x86_route OUTPUT_STRIP_TRAILING_WHITESPACE)
if(x86_route MATCHES "^x86: (native|emulated)")
    set(LOCLISTFIX_X86_ROUTE ${CMAKE_MATCH_1})
else()
    set(LOCLISTFIX_X86_ROUTE none)
endif()
set(how ${x86_route})
if(NOT LOCLISTFIX_WINDOWS_ARCH STREQUAL "x86")
    execute_process(COMMAND ${LOCLISTFIX_WINE} can-run ${LOCLISTFIX_WINDOWS_ARCH}
        RESULT_VARIABLE result OUTPUT_VARIABLE how OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(result EQUAL 0)
    set(LOCLISTFIX_RUNS_OWN_PROGRAMS ON)
    message(STATUS "Windows programs of this build run under Wine here: ${how}")
else()
    set(LOCLISTFIX_RUNS_OWN_PROGRAMS OFF)
    message(STATUS "Tests that run ${LOCLISTFIX_WINDOWS_ARCH} programs are disabled: ${how}")
endif()
set(wine_environment
    WINEPREFIX=set:${LOCLISTFIX_WINEPREFIX}
    LOCLISTFIX_X86_ROUTE=set:${LOCLISTFIX_X86_ROUTE})

add_test(NAME wine_prefix_start COMMAND ${LOCLISTFIX_WINE} start)
add_test(NAME wine_prefix_stop COMMAND ${LOCLISTFIX_WINE} stop)
set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine_prefix)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine_prefix)
set_tests_properties(wine_prefix_start wine_prefix_stop PROPERTIES
    ENVIRONMENT_MODIFICATION "${wine_environment}")

# Tests whose commands run under Wine, in the prefix. With OWN_PROGRAMS, they
# run this build's programs, and are disabled where the host cannot run them.
#   loclistfix_run_under_wine([OWN_PROGRAMS] tests...)
function(loclistfix_run_under_wine)
    cmake_parse_arguments(PARSE_ARGV 0 arg "OWN_PROGRAMS" "" "")
    set_tests_properties(${arg_UNPARSED_ARGUMENTS} PROPERTIES
        ENVIRONMENT_MODIFICATION "${wine_environment}"
        FIXTURES_REQUIRED wine_prefix)
    if(arg_OWN_PROGRAMS AND NOT LOCLISTFIX_RUNS_OWN_PROGRAMS)
        set_tests_properties(${arg_UNPARSED_ARGUMENTS} PROPERTIES DISABLED TRUE)
    endif()
    # Emulated, every 32-bit program runs many times slower, and the tests
    # that walk a table start hundreds: an hour each, not the presets' 15
    # minutes.
    if(arg_OWN_PROGRAMS AND LOCLISTFIX_WINDOWS_ARCH STREQUAL "x86" AND LOCLISTFIX_X86_ROUTE STREQUAL "emulated")
        set_tests_properties(${arg_UNPARSED_ARGUMENTS} PROPERTIES TIMEOUT 3600)
    endif()
endfunction()
