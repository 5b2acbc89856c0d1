# Runs the cross-built tests under Wine, in a prefix of their own inside the
# build tree. One fixture creates the prefix and starts its server, another
# shuts the server down once the last test has ended. cmake/wine.sh decides
# which loader runs what.
#
# Some x86-64 hosts cannot execute 32-bit programs at all. There the tests that
# run this build's own programs are disabled (CTest lists them as not run),
# and LOCLISTFIX_RUNS_OWN_PROGRAMS is off.

# Elsewhere the tests run as they are.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
    set(LOCLISTFIX_RUNS_OWN_PROGRAMS ON)
    function(loclistfix_run_under_wine)
    endfunction()
    return()
endif()

set(LOCLISTFIX_WINE ${CMAKE_CURRENT_LIST_DIR}/wine.sh)
set(LOCLISTFIX_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)

# Found out by trying, at every configure, so a build tree follows its host.
execute_process(COMMAND ${LOCLISTFIX_WINE} can-run ${LOCLISTFIX_WINDOWS_ARCH}
    RESULT_VARIABLE result OUTPUT_VARIABLE reason OUTPUT_STRIP_TRAILING_WHITESPACE)
if(result EQUAL 0)
    set(LOCLISTFIX_RUNS_OWN_PROGRAMS ON)
    set(reason "")
else()
    set(LOCLISTFIX_RUNS_OWN_PROGRAMS OFF)
    message(STATUS "Tests that run ${LOCLISTFIX_WINDOWS_ARCH} programs are disabled: ${reason}")
endif()
set(LOCLISTFIX_NOT_RUN_REASON "${reason}" CACHE INTERNAL
    "Why this host cannot run the build's programs; empty where it can")

add_test(NAME wine_prefix_start
    COMMAND ${CMAKE_COMMAND} -D ACTION=start -P ${CMAKE_CURRENT_LIST_DIR}/wine-prefix.cmake)
add_test(NAME wine_prefix_stop
    COMMAND ${CMAKE_COMMAND} -D ACTION=stop -P ${CMAKE_CURRENT_LIST_DIR}/wine-prefix.cmake)
set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine_prefix)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine_prefix)
set_tests_properties(wine_prefix_start wine_prefix_stop PROPERTIES
    ENVIRONMENT_MODIFICATION "WINEPREFIX=set:${LOCLISTFIX_WINEPREFIX}")

# Tests whose commands run under Wine, in the prefix. With OWN_PROGRAMS, they
# run this build's programs, and are disabled where the host cannot run them.
#   loclistfix_run_under_wine([OWN_PROGRAMS] tests...)
function(loclistfix_run_under_wine)
    cmake_parse_arguments(PARSE_ARGV 0 arg "OWN_PROGRAMS" "" "")
    set_tests_properties(${arg_UNPARSED_ARGUMENTS} PROPERTIES
        ENVIRONMENT_MODIFICATION "WINEPREFIX=set:${LOCLISTFIX_WINEPREFIX}"
        FIXTURES_REQUIRED wine_prefix)
    if(arg_OWN_PROGRAMS AND NOT LOCLISTFIX_RUNS_OWN_PROGRAMS)
        set_tests_properties(${arg_UNPARSED_ARGUMENTS} PROPERTIES DISABLED TRUE)
    endif()
endfunction()
