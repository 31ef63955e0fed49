# The release package: the two programs, the administrator's guide and the
# licence, as one ZIP. Built with `cmake --build --preset mingw --target package`.
# The simulated driver library is a test fixture and never installed.
install(TARGETS ZARVOSRV ZARVOCTL RUNTIME DESTINATION .)
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
include(CPack)
