# The release package: the two programs, the administrator's guide and the
# licence, as one ZIP. Built with `cmake --build --preset mingw --target package`.
# The simulated driver library is a test fixture and never installed.
install(TARGETS ZARVOSRV ZARVOCTL RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/docs/ADMIN-GUIDE.txt ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME "ZARVO-Remote")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "ZARVO-Remote-${PROJECT_VERSION}-win32")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
