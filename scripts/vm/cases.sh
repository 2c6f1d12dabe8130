#!/usr/bin/env bash
# The cases of the VM test, in one place for the guest's build and the runner. A case is a
# row of the table below; a case family with steps of its own adds rows and, if it needs
# them, a branch in steps.
#   cases.sh names              the cases, in the order they run
#   cases.sh folders DIR        writes DIR/<case>/ (the firmware folder of each case) and
#                               DIR/<case>.env (what the guest and drive.sh need: the user,
#                               udev, the keys to type and the text that ends the case)
#   cases.sh get CASE FIELD     one field of the case's row
#   cases.sh steps CASE         what the runner does while the case runs (see run.sh)
set -euo pipefail

# name | user | udev | plug | image | keys | repeat | stop | count | settle | load | sim options
#   user: who runs the updater (root: real-time scheduling); udev: 1 runs systemd-udevd
#   (libusb's hot-plug), 0 leaves the backend to its polling; plug: hot (once the updater
#   waits), cold (present at boot), none (the steps plug); image: header (one page), long
#   (64 pages) or large (256 pages); keys: typed at the first prompts; repeat: keys typed
#   after the first attempts end, for further attempts on the same locator; stop, count,
#   settle: the case ends settle seconds after the count-th time the updater prints stop;
#   load: the attempts (by keys typed, blank-separated) during which two busy loops run in
#   the guest (0: none).
#   Timed simulator options replace the runner's --fast (give all three: --erase-ms,
#   --program-us, --crc-ns).
# update: a whole update. unplug: the locator goes as the 41st page's request arrives
# (pages 0 to 39 are written). line: the production line. permission: no udev rule.
# polling: no udevd, so no hot-plug events. coldplug: the locator is there before the
# updater. unplug-erase: unplugged during the info sector's erase polling (its sixth status
# request; the info erase is the small sector, which takes 400 ms), then a verified update
# once it is back. unplug-crc and unplug-crc-root: unplugged while the locator computes the
# CRC (1.6 s), as the operator and as root. cycles and cycles-polling: 20 plugs, updates in
# the first three, fast replugs. other-device: a device of the vendor's with another product,
# then one of another vendor's. faults: a stall, babble, silence and a late answer at the
# first four info reads, then a verified attempt. load: ten updates of 256 pages as root over
# a timed high-speed link, every other one with two busy loops running. gadget-*: the case
# after the dash with the locator as a USB gadget (vx_locator_sim --gadget on dummy_hcd) in
# the guest's own kernel instead of QEMU's usb-redir; all of them run in one guest
# (scripts/vm/gadget.sh).
table='
update|vx|1|hot|header|1|0|************|1|1|0|
unplug|vx|1|hot|long|1|0|Connect next locator|1|1|0|--fault unplugbefore@cmd=412#41
line|vx|1|hot|header|2|0|Press any key to start download|3|1|0|--production-line --replug-ms 1000
permission|vx|1|hot|header|0|0|may not open it|1|3|0|
polling|root|0|hot|header|1|0|************|1|1|0|
coldplug|vx|1|cold|header|1|0|************|1|1|0|
unplug-erase|vx|1|hot|header|2|0|************|2|1|0|--erase-ms 400,0 --program-us 0 --crc-ns 0 --fault unplugbefore@cmd=405#6
unplug-crc|vx|1|hot|long|1|0|Connect next locator|1|1|0|--erase-ms 0,0 --program-us 0 --crc-ns 200000
unplug-crc-root|root|1|hot|long|1|0|Connect next locator|1|1|0|--erase-ms 0,0 --program-us 0 --crc-ns 200000
cycles|vx|1|none|header|3|0|Connect next locator|20|1|0|
cycles-polling|root|0|none|header|3|0|Connect next locator|20|1|0|
other-device|vx|1|none|header|0|0|Connect Valtor locator|1|10|0|
faults|vx|1|hot|header|1|4|************|5|1|0|--fault stall@cmd=409#1 --fault babble@cmd=409#2 --fault silence@cmd=409#3 --fault late@cmd=409#4
load|root|1|hot|large|1|9|************|10|1|2 4 6 8 10|--link hs --erase-ms 0,0 --program-us 1150 --crc-ns 150
gadget-update|vx|1|hot|header|1|0|************|1|1|0|
gadget-unplug|vx|1|hot|long|1|0|Connect next locator|1|1|0|--fault unplugbefore@cmd=412#41
gadget-line|vx|1|hot|header|2|0|Press any key to start download|3|1|0|--production-line --replug-ms 1000
'
row() { awk -F'|' -v n="$1" '$1 == n' <<< "$table"; }
field() {
  local i
  case $2 in user) i=2 ;; udev) i=3 ;; plug) i=4 ;; image) i=5 ;; keys) i=6 ;; repeat) i=7 ;; stop) i=8 ;;
    count) i=9 ;; settle) i=10 ;; load) i=11 ;; sim) i=12 ;; *) echo "cases.sh: no field $2" >&2; exit 2 ;; esac
  row "$1" | cut -d'|' -f$i
}

# The 33-byte image with a header (type 1, version 7, header CRC 0x1234), then "123456789".
header_image() {
  printf '\xfc\xfc\xfc\xfc\x00\x00\x01\x00\x00\x00\x00\x00\x07\x00\x00\x00\x00\x00\x00\x00\x34\x12\x00\x00123456789'
}
# N pages without a header.
pages_image() { perl -e 'print pack("C*", map { ($_ * 7 + 1) % 256 } 0 .. '"$1"' * 256 - 1)'; }

# The plug cycles: a cycle plugs, waits for the prompt (and, in the first three, the
# update), unplugs and waits for the departure. Every other cycle from the fifth on is a
# fast replug: the next plug follows the unplug at once (after 50 ms in the guest).
cycle_steps() {
  local i updates=0
  echo "do plug"
  for i in $(seq 20); do
    echo "wait transcript $i Press any key to start download"
    if ((i <= 3)); then updates=$((updates + 1)); echo "wait transcript $updates ************"; fi
    if ((i == 20)); then echo "do unplug"; break; fi
    if ((i >= 5 && i % 2 == 1)); then
      echo "replug $i"
    else
      echo "do unplug"
      echo "wait transcript $i Connect next locator"
      echo "do plug"
    fi
  done
}

case $1 in
  names) awk -F'|' 'NF > 1 { printf "%s ", $1 } END { print "" }' <<< "$table" ;;
  get) field "$2" "$3" ;;
  folders)
    for name in $("$0" names); do
      mkdir -p "$2/$name"
      printf '12,0\n3,1,main.bin\n' > "$2/$name/pcversions.txt"
      case $(field "$name" image) in long) pages_image 64 ;; large) pages_image 256 ;; *) header_image ;; esac \
        > "$2/$name/main.bin"
      printf "user=%s udev=%s keys=%s repeat=%s stop='%s' count=%s settle=%s load='%s'\n" "$(field "$name" user)" \
        "$(field "$name" udev)" "$(field "$name" keys)" "$(field "$name" repeat)" "$(field "$name" stop)" \
        "$(field "$name" count)" "$(field "$name" settle)" "$(field "$name" load)" > "$2/$name.env"
    done ;;
  steps)
    case $2 in
      unplug-erase) printf '%s\n' "wait sim 1 fault unplugbefore strikes" "wait transcript 1 Connect next locator" "do plug" ;;
      unplug-crc | unplug-crc-root) printf '%s\n' "wait sim 1 flash CRC over" "do unplug" ;;
      cycles | cycles-polling) cycle_steps ;;
      other-device)
        printf '%s\n' "do ids 0x3a7c 0x0002" "do plug" "sleep 4" "do unplug" "do ids 0x1d6b 0x0009" "do plug" "sleep 4" ;;
      *) ;;
    esac ;;
  *) echo "cases.sh: names | folders DIR | get CASE FIELD | steps CASE" >&2; exit 2 ;;
esac
