# cmake --install and CPack: loclistfix-<version>-win32.zip (or -win64.zip)
# holding the executable, the licence, the administrator's guide, which is
# the README of whoever unpacks it (README.txt, for Notepad), and beside it the
# ready-made files the guide describes, as stored.

install(TARGETS loclistfix RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/administrator-guide.md DESTINATION . RENAME README.txt)
install(FILES
    ${PROJECT_SOURCE_DIR}/deploy/check.cmd
    ${PROJECT_SOURCE_DIR}/deploy/intune-detect.ps1
    ${PROJECT_SOURCE_DIR}/deploy/intune-remediate.ps1
    ${PROJECT_SOURCE_DIR}/deploy/configmgr-detect.ps1
    ${PROJECT_SOURCE_DIR}/deploy/gp-startup.cmd
    ${PROJECT_SOURCE_DIR}/deploy/loclistfix.yml
    DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(LOCLISTFIX_PACKAGE_ARCH win64)
else()
    set(LOCLISTFIX_PACKAGE_ARCH win32)
endif()

set(LOCLISTFIX_PACKAGE_NAME loclistfix-${PROJECT_VERSION}-${LOCLISTFIX_PACKAGE_ARCH})
# The release command names its folders and zips after this file, so the
# version has one home.
file(WRITE ${PROJECT_BINARY_DIR}/package-name ${LOCLISTFIX_PACKAGE_NAME})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME loclistfix)
set(CPACK_PACKAGE_VENDOR "The loclistfix developers")
set(CPACK_PACKAGE_FILE_NAME ${LOCLISTFIX_PACKAGE_NAME})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
