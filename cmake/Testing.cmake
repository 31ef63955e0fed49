# GoogleTest from the Debian sources, built with this build's compiler and
# flags (cross or native, sanitized or not).
set(ZARVO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZARVO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(WIN32)
  # Windows test programs run under Wine. One ctest fixture makes a template
  # prefix inside the build tree (once per Wine version); every test then
  # runs in a clone of it with a wineserver of its own, ended when the test
  # ends (tests/wine/isolated.sh). So a test that installs a service, writes
  # the simulated driver's configuration or holds a pipe name meets nobody
  # else's, and nothing one leaves running outlives it.
  set(ZARVO_WINE_TEMPLATE ${CMAKE_BINARY_DIR}/wineprefix)
  set(ZARVO_WINE ${CMAKE_SOURCE_DIR}/tests/wine)
  set(ZARVO_TESTDIRS ${CMAKE_BINARY_DIR}/testdirs)
  # The test machine has two transceivers and one other USB-serial device
  # attached, as SetupAPI lists them.
  add_test(NAME wine_prefix_up COMMAND ${ZARVO_WINE}/prefix.sh template ${ZARVO_WINE_TEMPLATE}
    ${CMAKE_SOURCE_DIR}/tests/fixtures/usb-devices.reg)
  # The 64-bit test build runs in a 64-bit prefix (tests/wine/env.sh).
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ZARVO_WINEARCH win64)
  else()
    set(ZARVO_WINEARCH win32)
  endif()
  set_tests_properties(wine_prefix_up PROPERTIES FIXTURES_SETUP wine TIMEOUT 300
    LABELS wine ENVIRONMENT "ZARVO_WINEARCH=${ZARVO_WINEARCH}")
endif()

# zarvo_isolated_command(out name): the command line prefix that runs a Wine
# test named `name` in a prefix of its own (see above).
function(zarvo_isolated_command out name)
  set(${out} bash ${ZARVO_WINE}/isolated.sh ${ZARVO_WINE_TEMPLATE} ${ZARVO_TESTDIRS}/${name}
      PARENT_SCOPE)
endfunction()

# zarvo_add_gtest(name SOURCES... [LIBS ...]): one test program, run natively
# or under Wine, as one ctest test.
function(zarvo_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LOCKS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  if(WIN32)
    zarvo_isolated_command(isolated ${name})
    add_test(NAME ${name} COMMAND ${isolated} bash ${ZARVO_WINE}/run.sh -
             $<TARGET_FILE:${name}> --gtest_brief=1)
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(WIN32)
    # Under Wine, passing needs gtest's own verdict as well: a program that
    # never really ran must not count as passed.
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine LABELS wine
      PASS_REGULAR_EXPRESSION "\\[  PASSED  \\]"
      FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]|wine: Unhandled")
  endif()
  if(T_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
endfunction()

# zarvo_add_wine_script(name script args...): an integration scenario that
# drives the real programs under Wine from a shell script.
function(zarvo_add_wine_script name script)
  cmake_parse_arguments(T "SERIAL" "TIMEOUT" "ARGS;LOCKS;DEPENDS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  zarvo_isolated_command(isolated ${name})
  add_test(NAME ${name} COMMAND ${isolated} bash ${script} ${T_ARGS})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    FIXTURES_REQUIRED wine LABELS wine
    ENVIRONMENT "ZARVO_BIN=${CMAKE_BINARY_DIR}/bin;ZARVO_SOURCE=${CMAKE_SOURCE_DIR};ZARVO_WINEARCH=${ZARVO_WINEARCH}")
  if(T_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
  # Scenarios whose figures are about time run alone.
  if(T_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()

# zarvo_def_for_target(def out_var): the .def files name the driver's
# operations with their 32-bit stdcall decorations (FT_Close@4); a 64-bit
# build has no decorations, so it gets a copy without them. Sets out_var to
# the file to use.
function(zarvo_def_for_target def out_var)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    get_filename_component(name ${def} NAME)
    file(READ ${def} text)
    string(REGEX REPLACE "@[0-9]+ @" " @" text "${text}")
    set(out ${CMAKE_BINARY_DIR}/generated/${name})
    file(WRITE ${out} "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
    set(${out_var} ${out} PARENT_SCOPE)
  else()
    set(${out_var} ${def} PARENT_SCOPE)
  endif()
endfunction()

# zarvo_wide_entry(target): the program's entry point is wmain (UTF-16
# arguments).
function(zarvo_wide_entry target)
  if(WIN32)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()

# zarvo_version_resource(target description): gives a Windows program its
# version resource, from the project's one version number.
function(zarvo_version_resource target description)
  if(WIN32)
    set(ZARVO_RC_NAME ${target})
    set(ZARVO_RC_DESCRIPTION ${description})
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in
                   ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  endif()
endfunction()

# zarvo_add_sim_gtest(name SOURCES... [LIBS ...] [TIMEOUT s] [LOCKS ...]): a
# Windows test program that runs under Wine from a directory of its own
# (testdirs/<name>/run in the build tree) beside a fresh copy of the simulated
# FTD2XX.dll; the program writes its ftd2xx-sim.txt there itself.
function(zarvo_add_sim_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LOCKS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ftd2xx_sim_script GTest::gtest_main)
  add_dependencies(${name} ftd2xx_sim)
  zarvo_isolated_command(isolated ${name})
  add_test(NAME ${name}
    COMMAND ${isolated} bash ${CMAKE_SOURCE_DIR}/tests/ftd2xx-sim/run-beside-sim.sh -
            ${ZARVO_TESTDIRS}/${name}/run $<TARGET_FILE:${name}>
            $<TARGET_FILE:ftd2xx_sim> --gtest_brief=1)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # Passing needs gtest's own verdict, not only an exit code of 0: a Wine
  # program that never really ran must not count as passed. The wrapper
  # reports a non-zero exit code as "kept for inspection".
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} FIXTURES_REQUIRED wine LABELS wine
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\]"
    FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]|kept for inspection")
  if(T_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
endfunction()
