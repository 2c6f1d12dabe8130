#!/usr/bin/env bash
# Runs the updater through a real kernel USB stack: each case boots a fresh QEMU guest
# (TCG, qemu-xhci) whose USB device is the simulated locator, served by vx_locator_sim's
# usbredir front-end; then checks what the updater printed and what reached the locator.
# The gadget cases (gadget-*, or all of them as "gadget") share one guest in which the
# simulator is a USB gadget on dummy_hcd (scripts/vm/gadget.sh).
#   scripts/vm/run.sh BUILD_DIR [CASE...]
# Leaves build/vm/<case>/: transcript.bin (the updater's standard output, byte for byte),
# image.bin (the image it installed), trace.txt, flash.bin, eeprom.bin (the simulator's),
# console.txt (the guest's console) and, for comparison, reference.bin: the transcript of
# the same case run on this machine against the simulator's socket.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath "$1")
shift
vm="$src/build/vm"
updater="$build/app/vx_fw_load"
sim="$build/sim/vx_locator_sim"
cases=("$@")
[[ ${#cases[@]} -gt 0 ]] || read -r -a cases <<< "$("$src/scripts/vm/cases.sh" names)"
read -r -a all <<< "$("$src/scripts/vm/cases.sh" names)"
# "gadget" names the whole family; the gadget cases run together after the others.
redir=() gadgets=()
for name in "${cases[@]}"; do
  if [[ $name == gadget ]]; then
    for g in "${all[@]}"; do if [[ $g == gadget-* ]]; then gadgets+=("$g"); fi; done
  elif [[ $name == gadget-* ]]; then
    gadgets+=("$name")
  else
    redir+=("$name")
  fi
done
cases=("${redir[@]}" "${gadgets[@]}")

"$sim" --help | grep -q -- --usbredir ||
  { echo "vm: $sim was built without --usbredir (libusbredirparser-dev missing?)" >&2; exit 1; }
if ((${#gadgets[@]})); then
  "$sim" --help | grep -q -- --gadget ||
    { echo "vm: $sim was built without --gadget (linux/usb/functionfs.h missing?)" >&2; exit 1; }
  "$src/scripts/vm/guest.sh" "$updater" "$vm" "$sim"
else
  "$src/scripts/vm/guest.sh" "$updater" "$vm"
fi

failures=0
# On any way out, end what this script started and is still running (its own jobs only).
cleanup() { local p; for p in $(jobs -p); do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

# Waits up to $2 seconds for the text $3 in file $1.
wait_for() {
  local deadline=$((SECONDS + $2))
  until grep -qF -- "$3" "$1" 2>/dev/null; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# Stops a simulator with SIGTERM so that it writes its dumps; waits at most 10 s.
stop_sim() {
  kill -TERM "$1" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  wait "$1" 2>/dev/null || true
}

# The case on this machine against the simulator's socket: the reference transcript.
reference() {
  local name=$1 dir=$2 ref="$2/ref"
  rm -rf "$ref"
  mkdir -p "$ref/ProgramData/Quenby Ltd/Valtor Firmware Updater"
  "$src/scripts/vm/cases.sh" folders "$ref/folders"
  mv "$ref/folders/$name" "$ref/ProgramData/Quenby Ltd/Valtor Firmware Updater/Firmware"
  # shellcheck disable=SC2046
  "$sim" --socket "$ref/sim.sock" --fast $("$src/scripts/vm/cases.sh" sim-options "$name") > "$ref/sim.log" 2>&1 &
  local simpid=$!
  wait_for "$ref/sim.log" 20 "listening" || { cat "$ref/sim.log"; return 1; }
  PROGRAMDATA="$ref/ProgramData" VX_LOCATOR_SIM="$ref/sim.sock" \
    sh "$src/scripts/vm/drive.sh" "$name" "$dir/reference.bin" "$updater" || true
  stop_sim "$simpid"
}

# One case in a fresh guest.
guest() {
  local name=$1 dir=$2
  local sock="$dir/usbredir.sock" mon="$dir/monitor"
  rm -f "$sock" "$mon"
  mkfifo "$mon"
  # shellcheck disable=SC2046
  "$sim" --usbredir "$sock" --fast --plug-delay 0 --trace "$dir/trace.txt" --dump-flash "$dir/flash.bin" \
    --dump-eeprom "$dir/eeprom.bin" $("$src/scripts/vm/cases.sh" sim-options "$name") > "$dir/sim.log" 2>&1 &
  local simpid=$!
  wait_for "$dir/sim.log" 20 "listening" || { cat "$dir/sim.log"; return 1; }
  # The monitor reads its commands from the FIFO; holding it open keeps QEMU's stdin open.
  qemu-system-x86_64 -accel tcg -m 512 -nodefaults -display none -no-reboot \
    -kernel "$vm/vmlinux" -initrd "$vm/initramfs" \
    -append "console=ttyS0 loglevel=4 panic=-1 vxcase=$name" \
    -serial "file:$dir/console.txt" -serial "file:$dir/transcript.bin" \
    -device qemu-xhci,id=xhci -chardev "socket,id=locator,path=$sock" \
    -monitor stdio < "$mon" > "$dir/qemu.log" 2>&1 &
  local qemupid=$!
  exec {monfd}> "$mon"
  local started=$SECONDS
  # Plug the locator in once the updater waits for it: a hot-plug into the running guest.
  if wait_for "$dir/console.txt" 120 "vx-mark ready"; then
    echo "device_add usb-redir,chardev=locator,id=locator,bus=xhci.0" >&"$monfd"
    echo "ready $(date +%s.%N)" > "$dir/host-clock.txt"
  fi
  local deadline=$((SECONDS + 180))
  while kill -0 "$qemupid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
  echo "exit $(date +%s.%N)" >> "$dir/host-clock.txt"
  if kill -0 "$qemupid" 2>/dev/null; then
    echo "vm: $name: the guest did not power off in time" >&2
    kill "$qemupid" 2>/dev/null || true
  fi
  wait "$qemupid" 2>/dev/null || true
  exec {monfd}>&-
  stop_sim "$simpid"
  echo "vm: $name: guest ran $((SECONDS - started)) s"
  cp "$dir/../root/cases/$name/main.bin" "$dir/image.bin"
}

# The gadget cases in one guest; each case's files go to its own folder, with its part of
# the guest's console.
gadget_guest() {
  local dir="$vm/gadget" name
  rm -rf "$dir"
  mkdir -p "$dir"
  for name; do rm -rf "${vm:?}/$name"; mkdir -p "$vm/$name"; done
  qemu-system-x86_64 -accel tcg -m 512 -nodefaults -display none -no-reboot \
    -kernel "$vm/vmlinux" -initrd "$vm/initramfs" \
    -append "console=ttyS0 loglevel=4 panic=-1 vxcase=gadget vxgadget=$(IFS=,; echo "$*")" \
    -serial "file:$dir/console.txt" -serial null -serial "file:$dir/out.tgz" > "$dir/qemu.log" 2>&1 &
  local qemupid=$! started=$SECONDS
  local deadline=$((SECONDS + 60 + 120 * $#))
  while kill -0 "$qemupid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
  if kill -0 "$qemupid" 2>/dev/null; then
    echo "vm: gadget: the guest did not power off in time" >&2
    kill "$qemupid" 2>/dev/null || true
  fi
  wait "$qemupid" 2>/dev/null || true
  echo "vm: gadget: one guest ran $((SECONDS - started)) s for $# cases"
  tar -xzf "$dir/out.tgz" -C "$vm" 2>/dev/null || echo "vm: gadget: the guest sent no results" >&2
  awk -v vm="$vm" '/vx-mark case / { name = $NF; sub(/\r$/, "", name) } name { print > (vm "/" name "/console.txt") }' "$dir/console.txt"
  for name; do
    cp "$vm/root/cases/$name/main.bin" "$vm/$name/image.bin"
    [[ -f "$vm/$name/console.txt" ]] || cp "$dir/console.txt" "$vm/$name/console.txt"
  done
}

judge() {
  local name=$1 dir=$2
  # The socket has no device permissions: that case has no reference.
  [[ $name == permission ]] || reference "$name" "$dir"
  if ! "$src/scripts/vm/check.sh" "$name" "$dir"; then
    failures=$((failures + 1))
    echo "---- $name: guest console ----"
    cat "$dir/console.txt"
    echo "---- $name: simulator ----"
    cat "$dir/sim.log"
  fi
}

for name in "${redir[@]}"; do
  dir="$vm/$name"
  rm -rf "$dir"
  mkdir -p "$dir"
  guest "$name" "$dir"
  judge "$name" "$dir"
done
if ((${#gadgets[@]})); then
  gadget_guest "${gadgets[@]}"
  for name in "${gadgets[@]}"; do judge "$name" "$vm/$name"; done
fi
"$src/scripts/vm/check.sh" figures "$vm" "${cases[@]}" || true
if ((failures)); then
  echo "vm: $failures of ${#cases[@]} cases failed"
  exit 1
fi
echo "vm: ${#cases[@]} cases passed"
