#!/usr/bin/env bash
# One-time set-up of a Linux board as a test locator (scripts/gadget/README.md):
#   sudo scripts/gadget/setup.sh          a board with a USB device controller (OTG port)
#   sudo scripts/gadget/setup.sh --dummy  a machine without one: dummy_hcd, whose host side
#                                         is this machine itself (for trying it out)
# Loads configfs, libcomposite and usb_f_fs now and at every boot, mounts configfs, and on
# a Raspberry Pi puts the OTG port into peripheral mode (dtoverlay=dwc2,dr_mode=peripheral;
# takes effect after a reboot). Safe to run again. Then lists the controllers there are.
set -euo pipefail
[[ $(id -u) -eq 0 ]] || { echo "setup.sh: run it as root (sudo $0)" >&2; exit 1; }
dummy=false
[[ "${1:-}" == "--dummy" ]] && dummy=true

modules=(configfs libcomposite usb_f_fs)
reboot=false
model=$(tr -d '\0' < /proc/device-tree/model 2>/dev/null || true)
if [[ $model == "Raspberry Pi"* ]]; then
  # Bookworm keeps config.txt in /boot/firmware, older systems in /boot.
  config=/boot/firmware/config.txt
  [[ -f $config ]] || config=/boot/config.txt
  if ! grep -qE '^dtoverlay=dwc2,dr_mode=peripheral' "$config"; then
    # At the end, in an [all] section of its own, so that no earlier [pi4]-like filter applies.
    printf '\n[all]\n# vx_locator_sim --gadget: the USB OTG port as a device\ndtoverlay=dwc2,dr_mode=peripheral\n' >> "$config"
    echo "setup.sh: $config: added dtoverlay=dwc2,dr_mode=peripheral"
    reboot=true
  fi
  modules=(dwc2 "${modules[@]}")
fi
printf '%s\n' "# vx_locator_sim --gadget (scripts/gadget/setup.sh)" "${modules[@]}" > /etc/modules-load.d/vx-locator-gadget.conf
echo "setup.sh: /etc/modules-load.d/vx-locator-gadget.conf loads ${modules[*]} at boot"

for m in "${modules[@]}"; do modprobe "$m" || echo "setup.sh: modprobe $m failed" >&2; done
if $dummy; then modprobe dummy_hcd; fi
mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config

echo "setup.sh: USB device controllers (/sys/class/udc): $(ls /sys/class/udc 2>/dev/null | tr '\n' ' ')"
if $reboot; then
  echo "setup.sh: reboot once for the OTG port to come up as a device controller"
elif [[ -z $(ls /sys/class/udc 2>/dev/null) ]]; then
  echo "setup.sh: no device controller: see scripts/gadget/README.md (a board with an OTG port, or --dummy)" >&2
  exit 1
fi
