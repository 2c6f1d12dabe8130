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

# vx_add_test(NAME src... LIBS lib... [FIRMWARE_FOLDER] [PROPERTIES prop value...])
# One test executable; natively each GoogleTest case becomes its own CTest test, in a
# cross-build the executable runs whole under the cross-compiling emulator (Wine).
# FIRMWARE_FOLDER: the test writes into the firmware folder. Natively each test process has
# a folder of its own; under Wine it is the prefix's C:\ProgramData one, shared with the
# end-to-end runs, so such tests take turns.
function(vx_add_test name)
  cmake_parse_arguments(T "FIRMWARE_FOLDER" "" "LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  vx_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 ${T_PROPERTIES})
    if(T_FIRMWARE_FOLDER)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine_firmware_folder)
    endif()
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30
                         PROPERTIES TIMEOUT 300 ${T_PROPERTIES})
  endif()
endfunction()
