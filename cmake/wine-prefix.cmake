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

if(NOT DEFINED ENV{WINEPREFIX})
    message(FATAL_ERROR "WINEPREFIX is not set")
endif()
set(log $ENV{WINEPREFIX}.log)

function(wineboot)
    execute_process(COMMAND wineboot --init RESULT_VARIABLE result OUTPUT_FILE ${log} ERROR_FILE ${log})
    if(NOT result EQUAL 0)
        file(READ ${log} details)
        message(FATAL_ERROR "wineboot failed (${result}):\n${details}")
    endif()
endfunction()

if(ACTION STREQUAL "start")
    # A persistent server started on a prefix that does not exist yet races
    # with the prefix's creation (seen: "could not load kernel32.dll"). So the
    # prefix is made first, with a server of its own, which is let go before
    # the persistent one starts and a second boot brings the processes back.
    wineboot()
    execute_process(COMMAND wineserver --wait)
    execute_process(COMMAND wineserver --persistent OUTPUT_FILE ${log} ERROR_FILE ${log})
    wineboot()
elseif(ACTION STREQUAL "stop")
    execute_process(COMMAND wineserver --kill)
    execute_process(COMMAND wineserver --wait)
else()
    message(FATAL_ERROR "ACTION must be start or stop")
endif()
