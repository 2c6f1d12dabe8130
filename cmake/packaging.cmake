# Installation and the Debian package (Linux): the program, the udev rule that lets an
# ordinary user open a locator, and the empty firmware folder.
#   cmake --install build/release            (as root)
#   cd build/release && cpack -G DEB         -> vx-fw-load_<version>_amd64.deb
include(GNUInstallDirs)

set(VX_UDEV_RULES_DIR "/lib/udev/rules.d" CACHE PATH "Where the udev rule is installed")
set(VX_FIRMWARE_DIR "/var/lib/Quenby Ltd/Valtor Firmware Updater/Firmware")

install(TARGETS vx_fw_load RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/70-vx-locator.rules DESTINATION ${VX_UDEV_RULES_DIR})
# An empty folder: made in the staging or target tree, so that the package owns it too.
install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${VX_FIRMWARE_DIR}\")")

set(CPACK_PACKAGE_NAME "vx-fw-load")
set(CPACK_PACKAGE_VENDOR "Quenby Ltd")
set(CPACK_PACKAGE_CONTACT "Quenby Ltd service tools")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for Valtor handheld locators over USB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12), libusb-1.0-0 (>= 2:1.0.23)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/linux/postinst;${PROJECT_SOURCE_DIR}/packaging/linux/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
