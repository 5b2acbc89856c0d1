# The project's code, checked as CTest tests: Style.ClangFormat, the C++ of the
# program, its tests and tools against the committed .clang-format;
# Style.ClangTidy, the program's sources with the checks that .clang-tidy
# chooses, warnings as errors, for this build's target; Style.ShellCheck,
# every shell script, with every note an error; the documents' links and
# contract; and the administrators' files in deploy/, the Ansible playbook
# in the 64-bit build's tests only, since it has no architecture.

file(GLOB_RECURSE loclistfix_sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/src/*.cpp ${PROJECT_SOURCE_DIR}/src/*.h)
file(GLOB_RECURSE loclistfix_all_cxx CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/src/*.cpp ${PROJECT_SOURCE_DIR}/src/*.h
    ${PROJECT_SOURCE_DIR}/tests/*.cpp ${PROJECT_SOURCE_DIR}/tests/*.h
    ${PROJECT_SOURCE_DIR}/tools/*.cpp ${PROJECT_SOURCE_DIR}/tools/*.h)
file(GLOB_RECURSE loclistfix_shell_scripts CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/scripts/*.sh ${PROJECT_SOURCE_DIR}/tests/*.sh)
list(APPEND loclistfix_shell_scripts ${PROJECT_SOURCE_DIR}/.ci/run)

find_program(LOCLISTFIX_CLANG_FORMAT NAMES clang-format clang-format-14)
if(LOCLISTFIX_CLANG_FORMAT)
    add_test(NAME Style.ClangFormat
        COMMAND ${LOCLISTFIX_CLANG_FORMAT} --dry-run --Werror ${loclistfix_all_cxx})
else()
    message(STATUS "clang-format not found: Style.ClangFormat is not registered")
endif()

find_program(LOCLISTFIX_CLANG_TIDY NAMES clang-tidy clang-tidy-14)
if(LOCLISTFIX_CLANG_TIDY AND CMAKE_EXPORT_COMPILE_COMMANDS)
    # clang does not know where a cross GCC keeps its C++ library; the
    # compiler's own search path says. GCC's private headers (its intrinsics)
    # are left out: clang brings its own.
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
    add_test(NAME Style.ClangTidy
        COMMAND ${LOCLISTFIX_CLANG_TIDY} -p ${PROJECT_BINARY_DIR} --quiet ${target_arguments} ${loclistfix_sources})
else()
    message(STATUS "clang-tidy or a compilation database missing: Style.ClangTidy is not registered")
endif()

find_program(LOCLISTFIX_SHELLCHECK NAMES shellcheck)
if(LOCLISTFIX_SHELLCHECK)
    # The scripts name the files they source relative to the project's root.
    add_test(NAME Style.ShellCheck
        COMMAND ${LOCLISTFIX_SHELLCHECK} --external-sources ${loclistfix_shell_scripts}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
else()
    message(STATUS "shellcheck not found: Style.ShellCheck is not registered")
endif()

add_test(NAME Docs.RelativeLinksResolve
    COMMAND ${CMAKE_COMMAND} -D SOURCE_DIR=${PROJECT_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check-links.cmake)

add_test(NAME Docs.ContractStatedOnce
    COMMAND ${CMAKE_COMMAND} -D SOURCE_DIR=${PROJECT_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check-contract.cmake)
add_test(NAME Deploy.ScriptsAgree
    COMMAND ${CMAKE_COMMAND} -D SOURCE_DIR=${PROJECT_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check-deploy.cmake)

find_program(LOCLISTFIX_ANSIBLE_PLAYBOOK NAMES ansible-playbook)
find_program(LOCLISTFIX_ANSIBLE_LINT NAMES ansible-lint)
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
    # The 64-bit build's tests check the playbook.
elseif(LOCLISTFIX_ANSIBLE_PLAYBOOK AND LOCLISTFIX_ANSIBLE_LINT)
    # No inventory: the syntax check and the linter need no hosts. Ansible's
    # and the linter's own files stay in the build tree.
    add_test(NAME Deploy.AnsibleSyntaxCheck
        COMMAND ${LOCLISTFIX_ANSIBLE_PLAYBOOK} --syntax-check -i localhost, loclistfix.yml
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/deploy)
    add_test(NAME Deploy.AnsibleLint
        COMMAND ${LOCLISTFIX_ANSIBLE_LINT} --offline --nocolor loclistfix.yml
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/deploy)
    set_tests_properties(Deploy.AnsibleSyntaxCheck Deploy.AnsibleLint PROPERTIES
        ENVIRONMENT "ANSIBLE_HOME=${PROJECT_BINARY_DIR}/ansible;XDG_CACHE_HOME=${PROJECT_BINARY_DIR}/ansible/cache")
else()
    message(STATUS "ansible-playbook or ansible-lint not found: the Deploy.Ansible tests are not registered")
endif()
