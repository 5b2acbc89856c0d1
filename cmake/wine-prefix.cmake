# cmake -D ACTION=start|stop -P wine-prefix.cmake, with WINEPREFIX set.
#   start: keep a server up for the whole run, then create or update the
#          prefix, which also starts Wine's own background processes.
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

if(ACTION STREQUAL "start")
    execute_process(COMMAND wineserver --persistent OUTPUT_FILE ${log} ERROR_FILE ${log})
    execute_process(COMMAND wineboot --init RESULT_VARIABLE result OUTPUT_FILE ${log} ERROR_FILE ${log})
    if(NOT result EQUAL 0)
        file(READ ${log} details)
        message(FATAL_ERROR "wineboot failed (${result}):\n${details}")
    endif()
elseif(ACTION STREQUAL "stop")
    execute_process(COMMAND wineserver --kill)
    execute_process(COMMAND wineserver --wait)
else()
    message(FATAL_ERROR "ACTION must be start or stop")
endif()
