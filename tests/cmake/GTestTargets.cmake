# GoogleTest for the tests, built with the same compiler as the program.
# Debian's googletest package ships it as source.

set(LOCLISTFIX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree; empty to use an installed GoogleTest")

if(LOCLISTFIX_GTEST_SOURCE_DIR AND EXISTS ${LOCLISTFIX_GTEST_SOURCE_DIR}/CMakeLists.txt)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(${LOCLISTFIX_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    set_target_properties(gtest gtest_main PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
else()
    find_package(GTest REQUIRED)
endif()

# The tests' main, which reports a run that skipped a test with this exit
# code, and the property that makes CTest list such a test as skipped.
set(LOCLISTFIX_SKIPPED_EXIT_CODE 77)
add_library(loclistfix_gtest_main STATIC ${CMAKE_CURRENT_LIST_DIR}/../support/test_main.cpp)
target_link_libraries(loclistfix_gtest_main PUBLIC GTest::gtest)
target_compile_definitions(loclistfix_gtest_main PRIVATE LOCLISTFIX_SKIPPED_EXIT_CODE=${LOCLISTFIX_SKIPPED_EXIT_CODE})

# Registers every TEST, TEST_F and TEST_P of `sources` as a CTest test of its
# own that runs `command` with a filter, found by reading the sources: listing
# them would mean running the test program, and so Wine, at build time.
#   loclistfix_gtests(out_tests COMMAND program [args...] SOURCES files...)
function(loclistfix_gtests out_tests)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "COMMAND;SOURCES")
    set(tests)
    foreach(source IN LISTS arg_SOURCES)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
        file(STRINGS ${source} lines REGEX "^TEST(_F|_P)?\\(")
        foreach(line IN LISTS lines)
            if(NOT line MATCHES "^TEST(_F|_P)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\)")
                continue()
            endif()
            set(name ${CMAKE_MATCH_2}.${CMAKE_MATCH_3})
            if(CMAKE_MATCH_1 STREQUAL "_P")
                set(filter "*/${name}/*")
            else()
                set(filter ${name})
            endif()
            add_test(NAME ${name} COMMAND ${arg_COMMAND} --gtest_filter=${filter})
            set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE ${LOCLISTFIX_SKIPPED_EXIT_CODE})
            list(APPEND tests ${name})
        endforeach()
    endforeach()
    set(${out_tests} ${tests} PARENT_SCOPE)
endfunction()

# The same for a test target of this build, run through the emulator.
function(loclistfix_add_gtests target out_tests)
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    set(paths)
    foreach(source IN LISTS sources)
        cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir})
        list(APPEND paths ${source})
    endforeach()
    loclistfix_gtests(tests COMMAND ${target} SOURCES ${paths})
    set(${out_tests} ${tests} PARENT_SCOPE)
endfunction()
