# Every relative link in the project's Markdown files (its top folder and
# docs/) leads to a file or folder that exists.
#   cmake -D SOURCE_DIR=... -P check-links.cmake
file(GLOB documents RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.md ${SOURCE_DIR}/docs/*.md)
set(broken "")
foreach(document IN LISTS documents)
    file(READ ${SOURCE_DIR}/${document} text)
    # Brackets and semicolons would split CMake's lists in other places.
    string(REPLACE "[" "{" text "${text}")
    string(REPLACE "]" "}" text "${text}")
    string(REPLACE ";" "," text "${text}")
    string(REGEX MATCHALL "}\\([^)]+\\)" links "${text}")
    get_filename_component(folder ${SOURCE_DIR}/${document} DIRECTORY)
    foreach(link IN LISTS links)
        string(REGEX REPLACE "^}\\(([^)#]*).*$" "\\1" target "${link}")
        # An anchor in the same document, or an address with a scheme.
        if(target STREQUAL "" OR target MATCHES "^[a-z]+:")
            continue()
        endif()
        if(NOT EXISTS ${folder}/${target})
            string(APPEND broken "\n  ${document}: ${target}")
        endif()
    endforeach()
endforeach()
if(broken)
    message(FATAL_ERROR "links that lead nowhere:${broken}")
endif()
list(LENGTH documents count)
message(STATUS "every relative link of ${count} documents resolves")
