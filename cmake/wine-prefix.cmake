# cmake -D ACTION=start|stop -P wine-prefix.cmake, with WINEPREFIX set.
#   start: create or update the prefix, then keep a server up for the whole
#          run, with Wine's own background processes started under it.
#   stop:  end every process of the prefix and wait for the server to exit,
#          so that the registry is saved and nothing is left running.
#
# Wine's background processes inherit the standard handles of whichever
# program started them, and with a persistent server they live as long as it
# does. Started here, with output sent to a file, they hold no CTest pipe open;
# started later by a test, they would keep that test "running" until stop.
#
# The prefix is a 64-bit one, made and served through the 64-bit loader, which
# every x86-64 host can execute; it runs 32-bit programs where the host can.

if(NOT DEFINED ENV{WINEPREFIX})
    message(FATAL_ERROR "WINEPREFIX is not set")
endif()
set(wine ${CMAKE_CURRENT_LIST_DIR}/wine.sh)
set(log $ENV{WINEPREFIX}.log)

# Runs one step; on failure, says which and shows what Wine said.
function(step what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_FILE ${log} ERROR_FILE ${log})
    if(NOT result EQUAL 0)
        file(READ ${log} details)
        message(FATAL_ERROR "${what} failed (${result}):\n${details}")
    endif()
endfunction()

if(ACTION STREQUAL "start")
    # A prefix made where 32-bit programs could not run lacks its 32-bit half,
    # and booting it again does not add it: where they can run, start anew.
    execute_process(COMMAND ${wine} can-run x86 RESULT_VARIABLE x86 OUTPUT_QUIET)
    if(x86 EQUAL 0 AND EXISTS $ENV{WINEPREFIX}/system.reg
       AND NOT EXISTS $ENV{WINEPREFIX}/drive_c/windows/syswow64/kernel32.dll)
        file(REMOVE_RECURSE $ENV{WINEPREFIX})
    endif()
    # A persistent server started on a prefix that does not exist yet races
    # with the prefix's creation (seen: "could not load kernel32.dll"). So the
    # prefix is made first, with a server of its own, which is let go before
    # the persistent one starts and a second boot brings the processes back.
    step("creating the Wine prefix $ENV{WINEPREFIX}" ${wine} run x64 wineboot.exe --init)
    step("waiting for the prefix's first server to exit" ${wine} server --wait)
    step("starting a persistent Wine server" ${wine} server --persistent)
    step("starting the prefix's processes" ${wine} run x64 wineboot.exe --init)
elseif(ACTION STREQUAL "stop")
    # --kill fails only when no server is running, which is the state wanted.
    execute_process(COMMAND ${wine} server --kill OUTPUT_QUIET ERROR_QUIET)
    step("waiting for the Wine server to exit" ${wine} server --wait)
else()
    message(FATAL_ERROR "ACTION must be start or stop")
endif()
