# Installation and the Debian package (Linux): the program, the udev rule that lets an
# ordinary user open a locator, the empty firmware folder, the manual page, the AppStream
# metadata whose modaliases let a desktop suggest the package for a plugged-in locator, and
# Debian's copyright file and changelog.
#   cmake --install build/release            (as root)
#   cd build/release && cpack -G DEB         -> vx-fw-load_<version>_amd64.deb
include(GNUInstallDirs)

set(VX_UDEV_RULES_DIR "/lib/udev/rules.d" CACHE PATH "Where the udev rule is installed")
set(VX_FIRMWARE_DIR "/var/lib/Quenby Ltd/Valtor Firmware Updater/Firmware")

install(TARGETS vx_fw_load RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/70-vx-locator.rules DESTINATION ${VX_UDEV_RULES_DIR})
# An empty folder: made in the staging or target tree, so that the package owns it too.
install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${VX_FIRMWARE_DIR}\")")

# The manual page and Debian's changelog go compressed, as Debian's policy has them.
set(VX_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging/linux)
foreach(doc vx_fw_load.1 changelog)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${doc}.gz
                     COMMAND sh -c "gzip -9n < '${VX_PACKAGING_DIR}/${doc}' > '${CMAKE_BINARY_DIR}/${doc}.gz'"
                     DEPENDS ${VX_PACKAGING_DIR}/${doc} VERBATIM)
endforeach()
add_custom_target(vx_packaging_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/vx_fw_load.1.gz ${CMAKE_BINARY_DIR}/changelog.gz)
set(VX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vx-fw-load)
install(FILES ${CMAKE_BINARY_DIR}/vx_fw_load.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${VX_PACKAGING_DIR}/copyright DESTINATION ${VX_DOC_DIR})
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${VX_DOC_DIR} RENAME changelog.Debian.gz)
install(FILES ${VX_PACKAGING_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME vx-fw-load)
install(FILES ${VX_PACKAGING_DIR}/vx-fw-load.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME example.quenby.vx_fw_load.metainfo.xml)

set(CPACK_PACKAGE_NAME "vx-fw-load")
set(CPACK_PACKAGE_VENDOR "Quenby Ltd")
set(CPACK_PACKAGE_CONTACT "Quenby Ltd service tools <service-tools@quenby.example>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)  # packaged apart from the source: a Debian revision
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for Valtor handheld locators over USB")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "vx_fw_load installs the firmware image named by the version manifest of its\n"
       "firmware folder into Valtor handheld cable locators connected over USB, one\n"
       "locator after another: it programs the image page by page, has the locator\n"
       "verify it by CRC, and writes the firmware info block and version records.\n"
       "The package's udev rule lets the user at the seat and the plugdev group open\n"
       "a locator.")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1, libstdc++6 (>= 12), libusb-1.0-0 (>= 2:1.0.23)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/linux/postinst;${PROJECT_SOURCE_DIR}/packaging/linux/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
