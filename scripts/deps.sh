#!/usr/bin/env bash
# Installs the Debian packages that the build needs and are missing.
#   scripts/deps.sh          native build, tests and the simulator
#   scripts/deps.sh windows  also the mingw-w64 cross compiler, Wine, NSIS (the installer) and
#                            gcab, osslsigncode, openssl, OpenSSL's PKCS#11 engine and
#                            SoftHSM (release signing and its test)
#   scripts/deps.sh fuzz     also clang with its libFuzzer runtime
#   scripts/deps.sh vm       also what the VM test needs: QEMU, busybox, udev, cpio, xz
#   scripts/deps.sh release  also lintian, which checks the Debian package
#   scripts/deps.sh arm64    also the aarch64 cross compiler, the arm64 libraries beside the
#                            amd64 ones (multiarch) and qemu-user for the arm64 tests
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config googletest libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev libusb-1.0-0-dev libusbredirparser-dev)
if [[ "${1:-}" == "windows" ]]; then
  packages+=(mingw-w64 g++-mingw-w64-x86-64-posix wine64 wine nsis gcab osslsigncode openssl
            libengine-pkcs11-openssl softhsm2)
elif [[ "${1:-}" == "fuzz" ]]; then
  packages+=(clang libclang-rt-14-dev)
elif [[ "${1:-}" == "release" ]]; then
  packages+=(lintian)
elif [[ "${1:-}" == "vm" ]]; then
  packages+=(qemu-system-x86 busybox-static udev cpio xz-utils perl)
elif [[ "${1:-}" == "arm64" ]]; then
  packages+=(g++-aarch64-linux-gnu qemu-user-static libstdc++6:arm64 libusb-1.0-0-dev:arm64
             libusbredirparser-dev:arm64)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root:  apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# The arm64 libraries come from the same mirror once dpkg takes that architecture.
if [[ "${1:-}" == "arm64" ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
