# Cross-build for 64-bit Windows with MinGW-w64 (posix thread model). The
# product is 32-bit; this build of the same sources exists so that the Wine
# tests can run on machines that execute no 32-bit code.
set(ZARVO_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
