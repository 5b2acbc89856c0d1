# Configures the project afresh as on a host where 32-bit programs cannot run
# (LOCLISTFIX_X86_ROUTE=none), and fails unless the configure says why and
# CTest would list every test that runs one of the build's x86 programs as
# not run.
#   cmake -D SOURCE_DIR=... -D WORK_DIR=... -D GENERATOR=... -D TOOLCHAIN=...
#         -P check-no-route.cmake

file(REMOVE_RECURSE ${WORK_DIR})
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env LOCLISTFIX_X86_ROUTE=none
        ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR} -G ${GENERATOR} -D CMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "configuring failed:\n${output}")
endif()
if(NOT output MATCHES "Tests that run x86 programs are disabled: x86: not run: [^\n]+")
    message(FATAL_ERROR "the configure does not say why x86 programs do not run:\n${output}")
endif()
message(STATUS "${CMAKE_MATCH_0}")

execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${WORK_DIR} --show-only=json-v1
    RESULT_VARIABLE result OUTPUT_VARIABLE tests)
string(JSON count LENGTH ${tests} tests)
set(disabled 0)
math(EXPR last "${count} - 1")
foreach(index RANGE ${last})
    string(JSON name GET ${tests} tests ${index} name)
    string(JSON command GET ${tests} tests ${index} command)
    string(JSON properties GET ${tests} tests ${index} properties)
    set(off FALSE)
    if(properties MATCHES "\"name\"[ \t\n]*:[ \t\n]*\"DISABLED\",[ \t\n]*\"value\"[ \t\n]*:[ \t\n]*true")
        set(off TRUE)
    endif()
    if(command MATCHES "wine\\.sh\",\"run\",\"x86\"" AND NOT off)
        message(FATAL_ERROR "${name} runs an x86 program, and would still run")
    endif()
    if(off)
        math(EXPR disabled "${disabled} + 1")
    endif()
endforeach()
if(disabled EQUAL 0)
    message(FATAL_ERROR "no test would be listed as not run")
endif()
message(STATUS "${disabled} of ${count} tests would be listed as not run")
