# Runs the cross-built tests under Wine, in a prefix of their own inside the
# build tree. One fixture creates the prefix and starts its server, another
# shuts the server down once the last test has ended.

# Elsewhere the tests run as they are.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
    function(loclistfix_run_under_wine)
    endfunction()
    return()
endif()

set(LOCLISTFIX_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
set(LOCLISTFIX_WINE_ENVIRONMENT
    "WINEPREFIX=set:${LOCLISTFIX_WINEPREFIX}"
    "WINEDEBUG=set:-all"
    "WINEDLLOVERRIDES=set:mscoree,mshtml="
    "DISPLAY=unset:"
    "WAYLAND_DISPLAY=unset:")

add_test(NAME wine_prefix_start
    COMMAND ${CMAKE_COMMAND} -D ACTION=start -P ${CMAKE_CURRENT_LIST_DIR}/wine-prefix.cmake)
add_test(NAME wine_prefix_stop
    COMMAND ${CMAKE_COMMAND} -D ACTION=stop -P ${CMAKE_CURRENT_LIST_DIR}/wine-prefix.cmake)
set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine_prefix)
set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine_prefix)
set_tests_properties(wine_prefix_start wine_prefix_stop PROPERTIES
    ENVIRONMENT_MODIFICATION "${LOCLISTFIX_WINE_ENVIRONMENT}")

function(loclistfix_run_under_wine)
    set_tests_properties(${ARGN} PROPERTIES
        ENVIRONMENT_MODIFICATION "${LOCLISTFIX_WINE_ENVIRONMENT}"
        FIXTURES_REQUIRED wine_prefix)
endfunction()
