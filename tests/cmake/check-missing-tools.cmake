# Configures the static checks alone, in a project of their own, where no
# program can be found, and fails unless CTest lists each check whose tool
# is missing as skipped, saying which tool it lacks.
#   cmake -D SOURCE_DIR=... -D WORK_DIR=... -D GENERATOR=... -D MAKE_PROGRAM=...
#         -P check-missing-tools.cmake

set(checks Style.ClangFormat Style.ClangTidy Style.ShellCheck Style.Pyflakes
    Deploy.AnsibleSyntaxCheck Deploy.AnsibleLint)
file(REMOVE_RECURSE ${WORK_DIR})
file(WRITE ${WORK_DIR}/source/CMakeLists.txt
    "cmake_minimum_required(VERSION 3.25)\nproject(missing_tools NONE)\nenable_testing()\n"
    "include(\"${SOURCE_DIR}/tests/cmake/StaticChecks.cmake\")\n")
execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${WORK_DIR}/source -B ${WORK_DIR}/build -G ${GENERATOR} -D CMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}
        -D CMAKE_SIZEOF_VOID_P=8
        -D CMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH=OFF -D CMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "configuring failed:\n${output}")
endif()
list(JOIN checks "|" pattern)
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${WORK_DIR}/build -V -R "^(${pattern})$"
    RESULT_VARIABLE result OUTPUT_VARIABLE tests ERROR_VARIABLE tests)
foreach(check IN LISTS checks)
    if(NOT tests MATCHES "skipped: [^\n]+ not found[^\n]*\n[^\n]*${check} [.]+[*]+Skipped")
        message(FATAL_ERROR "${check} is not listed as skipped, with the tool it lacks:\n${tests}")
    endif()
endforeach()
if(NOT result EQUAL 0)
    message(FATAL_ERROR "a skipped check failed the run:\n${tests}")
endif()
