# GoogleTest: Debian's packaged build natively; for a cross-build, the source that the
# googletest package ships, compiled with the cross compiler.
if(CMAKE_CROSSCOMPILING)
  set(VX_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest 1.12's own CMake files define these names already; older ones do not.
  foreach(lib gtest gtest_main gmock)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# vx_add_test(NAME src... LIBS lib... [FIRMWARE_FOLDER] [CHANNEL] [PROPERTIES prop value...])
# One test executable; natively each GoogleTest case becomes its own CTest test, in a
# cross-build the executable runs whole under the cross-compiling emulator (Wine).
# Under Wine every process of the prefix shares what is named, so tests that share such a
# thing take turns (natively each test process has its own):
# FIRMWARE_FOLDER: the test writes into the firmware folder, the prefix's C:\ProgramData one.
# CHANNEL: the test opens the USB channel, whose semaphore "CUSBSemaphore" is a named one. A
# test that holds it past a 250 ms wait would fail another process's exchange.
# The end-to-end runs under Wine take both locks.
function(vx_add_test name)
  cmake_parse_arguments(T "FIRMWARE_FOLDER;CHANNEL" "" "LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  vx_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} vx_test_headers GTest::gtest GTest::gtest_main Threads::Threads)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 ${T_PROPERTIES})
    set(locks "")
    if(T_FIRMWARE_FOLDER)
      list(APPEND locks wine_firmware_folder)
    endif()
    if(T_CHANNEL)
      list(APPEND locks wine_channel_semaphore)
    endif()
    if(locks)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${locks}")
    endif()
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30
                         PROPERTIES TIMEOUT 300 ${T_PROPERTIES})
  endif()
endfunction()
