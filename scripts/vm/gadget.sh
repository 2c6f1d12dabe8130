#!/bin/sh
# The gadget cases in one guest, whose kernel holds both sides of the cable: dummy_hcd is
# the device controller and, in the same kernel, the host controller it is plugged into.
# For each case named on the kernel command line (vxgadget=CASE,CASE,...) the simulator
# (vx_locator_sim --gadget, as root) is the device and the updater (as the ordinary user vx)
# the host, through drive.sh as in the other cases. Each case leaves /tmp/out/CASE/:
# transcript.bin, trace.txt, flash.bin, eeprom.bin, sim.log. They go out as one gzip'd tar
# on the third serial port; the kernel log marks where each case begins (vx-mark case).
set -u
for m in $(cat /etc/modules-gadget); do insmod "/lib/modules/$m" || echo "gadget: insmod $m failed"; done
mount -t configfs none /sys/kernel/config
echo "gadget: controllers: $(ls /sys/class/udc)"

cases=
for arg in $(cat /proc/cmdline); do
  case $arg in vxgadget=*) cases=$(echo "${arg#vxgadget=}" | tr , ' ') ;; esac
done
folder="/var/lib/Quenby Ltd/Valtor Firmware Updater/Firmware"

for name in $cases; do
  dir=/tmp/out/$name
  mkdir -p "$dir"
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "/cases/$name/"* "$folder/"
  echo "<2>vx-mark case $name" > /dev/kmsg
  echo "gadget: case $name"
  # The locator is plugged in (the gadget bound) once the updater waits for it: a hot-plug.
  (
    until grep -q "Connect Valtor locator" "$dir/transcript.bin" 2>/dev/null; do sleep 0.1; done
    # shellcheck disable=SC2046
    exec vx_locator_sim --gadget --fast --plug-delay 0 --trace "$dir/trace.txt" --dump-flash "$dir/flash.bin" \
      --dump-eeprom "$dir/eeprom.bin" $(cat "/cases/$name.sim-options") > "$dir/sim.log" 2>&1
  ) &
  sim=$!
  VX_MARK=/dev/kmsg drive.sh "/cases/$name.env" "$dir/transcript.bin" su vx -s /bin/sh -c 'exec /usr/bin/vx_fw_load'
  echo "gadget: drive.sh ended with $?"
  # SIGTERM: the simulator unbinds, removes its configfs entries and writes its dumps.
  kill -TERM $sim 2>/dev/null
  for _ in $(seq 100); do kill -0 $sim 2>/dev/null || break; sleep 0.1; done
  if kill -0 $sim 2>/dev/null; then
    echo "gadget: the simulator did not stop within 10 s; its threads wait in:"
    for t in /proc/$sim/task/*; do echo "$t: $(cat "$t/comm") $(cat "$t/wchan")"; cat "$t/stack" 2>/dev/null; done
    kill -KILL $sim
  fi
  wait $sim
  echo "gadget: simulator ended with $?; configfs now: $(ls /sys/kernel/config/usb_gadget)"
done

dmesg | grep -E 'vx-mark|new high-speed USB device|USB disconnect|New USB device found'
stty -F /dev/ttyS2 raw -echo
(cd /tmp/out && tar -c . | gzip -c) > /dev/ttyS2
echo "gadget: powering off"
sync
poweroff -f
