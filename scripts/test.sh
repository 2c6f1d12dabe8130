#!/usr/bin/env bash
# Builds and runs the whole test suite in one preset (default: the developer build).
#   scripts/test.sh [default|asan|tsan|release|windows]   (release also builds the benchmarks)
#   scripts/test.sh arm64          the simulator and its tests cross-built for arm64 (a
#                                  Raspberry Pi), the tests run under qemu-user
#   scripts/test.sh vm [CASE...]   the updater in a QEMU guest, through the kernel's USB stack
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

if [[ "$preset" == "vm" ]]; then
  shift
  scripts/deps.sh vm
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)" --target vx_fw_load vx_locator_sim
  exec scripts/vm/run.sh build/default "$@"
fi

if [[ "$preset" == "arm64" ]]; then
  scripts/deps.sh arm64
  # The program test starts vx_locator_sim itself: the kernel hands arm64 programs to
  # qemu-user through binfmt_misc, as Debian's qemu-user-static registers them where systemd
  # runs (the emulator that ctest runs each test with does not follow an exec).
  if [[ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]]; then
    [[ -e /proc/sys/fs/binfmt_misc/register ]] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    cat /usr/lib/binfmt.d/qemu-aarch64.conf > /proc/sys/fs/binfmt_misc/register
  fi
  cmake --preset arm64 >/dev/null
  cmake --build --preset arm64 -j "$(nproc)" --target vx_locator_sim \
    $(sed -n 's/^ *vx_add_test(\(test_sim_[a-z_]*\) .*/\1/p' tests/sim/CMakeLists.txt)
  exec ctest --preset arm64
fi
case $preset in windows | release) scripts/deps.sh "$preset" ;; *) scripts/deps.sh ;; esac

if [[ "$preset" == "windows" ]]; then
  # A Wine prefix of the build's own, created once; console programs need no display.
  export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [[ -d "$WINEPREFIX" ]] || { mkdir -p "$WINEPREFIX"; wineboot -i >/dev/null 2>&1 || true; }
  # One wine server for the whole run. Test processes that start together with no server
  # running race to start one, and a loser fails at once ("recvmsg: Connection reset by
  # peer"). The prefix's services start here, so that they hold /dev/null rather than a
  # test's output pipe, which would keep ctest waiting for as long as the server lives.
  wineserver -k 2>/dev/null || true
  wineserver -p
  trap 'wineserver -k 2>/dev/null || true' EXIT
  wineboot >/dev/null 2>&1 || true
  # The end-to-end runs under Wine drive the native simulator and compare with the native
  # updater: both come from the default preset's build.
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)" --target vx_fw_load vx_locator_sim
fi
if [[ "$preset" == "tsan" ]]; then
  # ThreadSanitizer needs the address-space layout it was built for.
  export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1}"
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
if [[ "$preset" == "windows" ]]; then
  # Release signing end to end, with throw-away certificates made on the spot.
  packaging/windows/release-sign.sh selftest build/windows/app/vx_fw_load.exe
fi
if [[ "$preset" == "release" ]]; then
  # The Debian package holds the program, the udev rule and the firmware folder.
  rm -f build/release/vx-fw-load_*.deb
  (cd build/release && cpack -G DEB >/dev/null)
  contents=$(dpkg-deb -c build/release/vx-fw-load_*_amd64.deb)
  for f in ./usr/bin/vx_fw_load ./lib/udev/rules.d/70-vx-locator.rules ./usr/share/man/man1/vx_fw_load.1.gz \
           ./usr/share/doc/vx-fw-load/copyright ./usr/share/metainfo/example.quenby.vx_fw_load.metainfo.xml \
           "./var/lib/Quenby Ltd/Valtor Firmware Updater/Firmware/"; do
    grep -qF "$f" <<<"$contents" || { echo "package lacks $f"; exit 1; }
  done
  echo "package: $(ls build/release/vx-fw-load_*_amd64.deb) holds the program, the udev rule and the firmware folder"
  # Debian's standard: lintian's errors fail the run; its warnings and notes are shown.
  # (As root it warns that it should not run as root, which is no finding about the package.)
  lintian --pedantic --info build/release/vx-fw-load_*_amd64.deb 2>&1 | grep -v 'running with root privileges' | tee build/release/lintian.txt || true
  if grep -q '^E:' build/release/lintian.txt; then echo "lintian found errors in the package"; exit 1; fi
  echo "lintian: $(grep -c '^E:' build/release/lintian.txt) errors, $(grep -c '^W:' build/release/lintian.txt) warnings"
fi
