# The project's code, checked as CTest tests: Style.ClangFormat, the C++ of the
# program, its tests and tools against the committed .clang-format;
# Style.ClangTidy, the program's sources with the checks that .clang-tidy
# chooses, warnings as errors; Style.ShellCheck, every shell script, with
# every note an error; Style.Pyflakes, every Python file; the documents' links
# and contract; and the administrators' files in deploy/. None of them depends
# on the architecture, so they are tests of the 64-bit build alone, where
# clang-tidy meets the wider size_t. A check whose tool is missing is still a
# test, one that CTest lists as skipped and that says which tool it lacks.

file(GLOB_RECURSE loclistfix_sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/src/*.cpp ${PROJECT_SOURCE_DIR}/src/*.h)
file(GLOB_RECURSE loclistfix_all_cxx CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/src/*.cpp ${PROJECT_SOURCE_DIR}/src/*.h
    ${PROJECT_SOURCE_DIR}/tests/*.cpp ${PROJECT_SOURCE_DIR}/tests/*.h
    ${PROJECT_SOURCE_DIR}/tools/*.cpp ${PROJECT_SOURCE_DIR}/tools/*.h)
file(GLOB_RECURSE loclistfix_shell_scripts CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/scripts/*.sh ${PROJECT_SOURCE_DIR}/tests/*.sh)
list(APPEND loclistfix_shell_scripts ${PROJECT_SOURCE_DIR}/.ci/run)
file(GLOB_RECURSE loclistfix_python CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/scripts/*.py ${PROJECT_SOURCE_DIR}/tests/*.py)

# loclistfix_static_check(NAME FOUND REASON COMMAND ...): the test NAME where
# FOUND is true; else a test NAME that is skipped, and says REASON.
function(loclistfix_static_check name found reason)
    if(found)
        add_test(NAME ${name} ${ARGN})
    else()
        add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "skipped: ${reason}")
        set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "^skipped: ")
        message(STATUS "${name} is skipped: ${reason}")
    endif()
endfunction()

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
    return()
endif()

find_program(LOCLISTFIX_CLANG_FORMAT NAMES clang-format clang-format-14)
loclistfix_static_check(Style.ClangFormat "${LOCLISTFIX_CLANG_FORMAT}" "clang-format not found"
    COMMAND ${LOCLISTFIX_CLANG_FORMAT} --dry-run --Werror ${loclistfix_all_cxx})

find_program(LOCLISTFIX_CLANG_TIDY NAMES clang-tidy clang-tidy-14)
set(found OFF)
if(LOCLISTFIX_CLANG_TIDY AND CMAKE_EXPORT_COMPILE_COMMANDS)
    set(found ON)
endif()
# clang does not know where a cross GCC keeps its C++ library; the compiler's
# own search path says. GCC's private headers (its intrinsics) are left out:
# clang brings its own.
set(target_arguments)
if(LOCLISTFIX_MINGW_TRIPLET)
    list(APPEND target_arguments --extra-arg=--target=${LOCLISTFIX_MINGW_TRIPLET})
    set(directories ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
    list(FILTER directories EXCLUDE REGEX "/gcc/[^/]+/[^/]+/include(-fixed)?$")
    foreach(directory IN LISTS directories)
        list(APPEND target_arguments --extra-arg=-isystem${directory})
    endforeach()
endif()
list(FILTER loclistfix_sources INCLUDE REGEX "\\.cpp$")
loclistfix_static_check(Style.ClangTidy ${found} "clang-tidy not found, or no compilation database"
    COMMAND ${LOCLISTFIX_CLANG_TIDY} -p ${PROJECT_BINARY_DIR} --quiet ${target_arguments} ${loclistfix_sources})

# The scripts name the files they source relative to the project's root.
find_program(LOCLISTFIX_SHELLCHECK NAMES shellcheck)
loclistfix_static_check(Style.ShellCheck "${LOCLISTFIX_SHELLCHECK}" "shellcheck not found"
    COMMAND ${LOCLISTFIX_SHELLCHECK} --external-sources ${loclistfix_shell_scripts}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})

find_program(LOCLISTFIX_PYFLAKES NAMES pyflakes3 pyflakes)
loclistfix_static_check(Style.Pyflakes "${LOCLISTFIX_PYFLAKES}" "pyflakes3 not found"
    COMMAND ${LOCLISTFIX_PYFLAKES} ${loclistfix_python})

add_test(NAME Docs.RelativeLinksResolve
    COMMAND ${CMAKE_COMMAND} -D SOURCE_DIR=${PROJECT_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check-links.cmake)
add_test(NAME Docs.ContractStatedOnce
    COMMAND ${CMAKE_COMMAND} -D SOURCE_DIR=${PROJECT_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check-contract.cmake)
add_test(NAME Deploy.ScriptsAgree
    COMMAND ${CMAKE_COMMAND} -D SOURCE_DIR=${PROJECT_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check-deploy.cmake)

# No inventory: the syntax check and the linter need no hosts. Ansible's and
# the linter's own files stay in the build tree.
find_program(LOCLISTFIX_ANSIBLE_PLAYBOOK NAMES ansible-playbook)
find_program(LOCLISTFIX_ANSIBLE_LINT NAMES ansible-lint)
loclistfix_static_check(Deploy.AnsibleSyntaxCheck "${LOCLISTFIX_ANSIBLE_PLAYBOOK}" "ansible-playbook not found"
    COMMAND ${LOCLISTFIX_ANSIBLE_PLAYBOOK} --syntax-check -i localhost, loclistfix.yml
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/deploy)
loclistfix_static_check(Deploy.AnsibleLint "${LOCLISTFIX_ANSIBLE_LINT}" "ansible-lint not found"
    COMMAND ${LOCLISTFIX_ANSIBLE_LINT} --offline --nocolor loclistfix.yml
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/deploy)
set_tests_properties(Deploy.AnsibleSyntaxCheck Deploy.AnsibleLint PROPERTIES
    ENVIRONMENT "ANSIBLE_HOME=${PROJECT_BINARY_DIR}/ansible;XDG_CACHE_HOME=${PROJECT_BINARY_DIR}/ansible/cache")
