#!/usr/bin/env bash
# The cases of the VM test, in one place for the guest's build and the runner:
#   cases.sh names              the cases, in the order they run
#   cases.sh folders DIR        writes DIR/<case>/: the firmware folder of each case
#   cases.sh sim-options CASE   the simulator's options for the case
set -euo pipefail

# polling: the update without udevd, whose events libusb's hot-plug needs: the backend's
# polling finds the locator (as root, the only user who may open a node that udev did not
# hand over).
# gadget-*: the case after the dash with the locator as a USB gadget (vx_locator_sim
# --gadget on dummy_hcd) in the guest's own kernel instead of QEMU's usb-redir; all of them
# run in one guest (scripts/vm/gadget.sh).
names="update unplug line permission polling gadget-update gadget-unplug gadget-line"

# The 33-byte image with a header (type 1, version 7, header CRC 0x1234), then "123456789".
header_image() {
  printf '\xfc\xfc\xfc\xfc\x00\x00\x01\x00\x00\x00\x00\x00\x07\x00\x00\x00\x00\x00\x00\x00\x34\x12\x00\x00123456789'
}
# 64 pages without a header.
long_image() { perl -e 'print pack("C*", map { ($_ * 7 + 1) % 256 } 0 .. 64 * 256 - 1)'; }

case $1 in
  names) echo $names ;;
  folders)
    for name in $names; do
      mkdir -p "$2/$name"
      printf '12,0\n3,1,main.bin\n' > "$2/$name/pcversions.txt"
      if [[ ${name#gadget-} == unplug ]]; then long_image; else header_image; fi > "$2/$name/main.bin"
    done ;;
  sim-options)
    case ${2#gadget-} in
      # The locator goes as the 41st page's request arrives: pages 0 to 39 are written.
      unplug) echo "--fault unplugbefore@cmd=412#41" ;;
      line) echo "--production-line --replug-ms 1000" ;;
      *) ;;
    esac ;;
  *) echo "cases.sh: names | folders DIR | sim-options CASE" >&2; exit 2 ;;
esac
