# The release packages: the programs, the administrator's guide and the
# licence, as one ZIP and as a Windows Installer package. Built with
# `cmake --build --preset mingw --target package`.
# The simulated driver library is a test fixture and never installed.
install(TARGETS ZARVOSRV ZARVOMQTT ZARVOCTL RUNTIME DESTINATION .)
# The texts go out with Windows line ends, for any editor an administrator
# uses (they hold no @ to substitute).
configure_file(${CMAKE_SOURCE_DIR}/docs/ADMIN-GUIDE.txt ${CMAKE_BINARY_DIR}/package-text/ADMIN-GUIDE.txt
  @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/package-text/LICENSE
  @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/package-text/ADMIN-GUIDE.txt ${CMAKE_BINARY_DIR}/package-text/LICENSE
  DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME "ZARVO-Remote")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "ZARVO-Remote-${PROJECT_VERSION}-win32")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)

# The Windows Installer package, built by the same target from the same
# staged files (packaging/build-msi.sh, run by CPack before the ZIP). The
# release is 32-bit; a 64-bit build makes a package for its tests only.
set(ZARVO_PRODUCT_NAME "ZARVO Remote")
# Ties every version of the package together for upgrades: never change it.
set(ZARVO_MSI_UPGRADE_CODE 0C7B3E52-94D1-4F6A-8B2E-5D3A1C9F7E64)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ZARVO_MSI_ARCH x64)
  set(ZARVO_MSI_FILE ZARVO-Remote-${PROJECT_VERSION}-win64-test.msi)
else()
  set(ZARVO_MSI_ARCH x86)
  set(ZARVO_MSI_FILE ZARVO-Remote-${PROJECT_VERSION}-win32.msi)
endif()
set(ZARVO_BUILD_MSI ${CMAKE_SOURCE_DIR}/packaging/build-msi.sh)
set(CPACK_ZARVO_MSI_OUTPUT ${CMAKE_BINARY_DIR}/package/${ZARVO_MSI_FILE})
set(CPACK_ZARVO_MSI_COMMAND bash ${ZARVO_BUILD_MSI})
set(CPACK_ZARVO_MSI_ARGS ${PROJECT_VERSION} ${ZARVO_MSI_ARCH})
set(CPACK_ZARVO_MSI_IDENTITY ${ZARVO_PRODUCT_NAME} ${ZARVO_MSI_UPGRADE_CODE})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/BuildMsi.cmake)
include(CPack)
