# Layers the build enforces. Every file names a header by its path from the project's root
# ("device/download.h"), but no target sees the root: each library exports an include folder
# of its own that holds only a link to its source folder, so a file reaches the headers of
# the libraries it links and no others, and an include that points up a layer fails to
# compile. Where the file system cannot make links (a Windows host without the privilege),
# the root is exported instead and nothing is enforced.

# vx_headers(TARGET PATH [INTERFACE]): TARGET exports PATH (a folder, or one header) of the
# source tree under its own name.
function(vx_headers target path)
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  cmake_path(GET path PARENT_PATH parent)
  file(MAKE_DIRECTORY ${root}/${parent})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${path} ${root}/${path} RESULT made SYMBOLIC)
  if(NOT made EQUAL 0)
    message(STATUS "No link for ${path} (${made}): ${target} exports the whole source tree")
    set(root ${PROJECT_SOURCE_DIR})
  endif()
  if(ARGV2 STREQUAL "INTERFACE")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# The tests, benchmarks and fuzz targets name the tests' own headers from the root as well
# ("tests/support/words.h") and see the product's headers only through what they link.
add_library(vx_test_headers INTERFACE)
vx_headers(vx_test_headers tests INTERFACE)

# vx_layer_probes(): for each arrow that must not exist, a test that compiles a file of the
# lower library including a header of the upper one and passes only when the header is not
# found. The probes build one at a time: each is a build of this tree.
function(vx_layer_probes)
  set(arrows
    "vx_net:sim/locator.h"            # the socket layer knows no simulator
    "vx_sim:platform/wdu/wdu.h"       # the device side shares nothing with the host side
    "vx_sim:device/commands.h"        # ... not even the command codes
    "vx_os:platform/wdu/wdu.h"
    "vx_wdu:usb/usb_message.h"
    "vx_usb:device/download.h"        # usb/ sees device/commands.h only
    "vx_device:app/manifest.h")
  foreach(arrow IN LISTS arrows)
    string(REPLACE ":" ";" parts ${arrow})
    list(GET parts 0 lower)
    list(GET parts 1 header)
    string(MAKE_C_IDENTIFIER "${lower}_${header}" id)
    set(source ${PROJECT_BINARY_DIR}/layer_probes/${id}.cpp)
    file(CONFIGURE OUTPUT ${source} CONTENT "#include \"${header}\"\n")
    add_library(layer_probe_${id} OBJECT EXCLUDE_FROM_ALL ${source})
    target_link_libraries(layer_probe_${id} PRIVATE ${lower})
    add_test(NAME Layers.${id} COMMAND ${CMAKE_COMMAND} --build ${PROJECT_BINARY_DIR} --target layer_probe_${id})
    set_tests_properties(Layers.${id} PROPERTIES RESOURCE_LOCK build_tree
                         PASS_REGULAR_EXPRESSION "${header}: No such file|'${header}' file not found")
  endforeach()
endfunction()
