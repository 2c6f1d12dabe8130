# Cross-build for 64-bit ARM Linux (a Raspberry Pi 3, 4, 5 or Zero 2 W on a 64-bit system)
# with Debian's aarch64 toolchain and multiarch libraries (libusb-1.0-0-dev:arm64,
# libusbredirparser-dev:arm64). Test executables run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Multiarch: the arm64 libraries live in /usr/lib/aarch64-linux-gnu, their headers (the same
# for every architecture) in /usr/include; the toolchain's own in /usr/aarch64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
find_program(VX_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(VX_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VX_QEMU_AARCH64})
endif()
