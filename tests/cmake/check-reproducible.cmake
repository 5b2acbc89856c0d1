# Builds loclistfix from scratch in two folders whose paths differ in name and
# length, and fails unless the two executables are byte-identical.
#   cmake -D SOURCE_DIR=... -D WORK_DIR=... -D GENERATOR=... [-D PLATFORM=...]
#         [-D TOOLCHAIN=...] -P check-reproducible.cmake

set(configure_options -G ${GENERATOR} -D CMAKE_BUILD_TYPE=MinSizeRel -D BUILD_TESTING=OFF)
if(PLATFORM)
    list(APPEND configure_options -A ${PLATFORM})
endif()
if(TOOLCHAIN)
    list(APPEND configure_options -D CMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()

set(hashes)
foreach(tree first "second/in-a-longer-and-deeper-folder")
    set(dir ${WORK_DIR}/${tree})
    file(REMOVE_RECURSE ${dir})
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${dir} ${configure_options}
        RESULT_VARIABLE result OUTPUT_QUIET)
    if(result EQUAL 0)
        execute_process(COMMAND ${CMAKE_COMMAND} --build ${dir} --config MinSizeRel --target loclistfix
            RESULT_VARIABLE result OUTPUT_QUIET)
    endif()
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "building in ${dir} failed")
    endif()
    file(GLOB_RECURSE program ${dir}/bin/loclistfix.exe)
    file(SHA256 ${program} hash)
    message(STATUS "${hash}  ${program}")
    list(APPEND hashes ${hash})
endforeach()

list(REMOVE_DUPLICATES hashes)
list(LENGTH hashes distinct)
if(NOT distinct EQUAL 1)
    message(FATAL_ERROR "two clean builds of the same sources differ")
endif()
