#!/usr/bin/env bash
# Runs the updater through a real kernel USB stack: each case boots a fresh QEMU guest
# (TCG, qemu-xhci) whose USB device is the simulated locator, served by vx_locator_sim's
# usbredir front-end, plugged and unplugged through the simulator's control FIFO as the
# case's steps say; then checks what the updater printed and what reached the locator.
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

case_field() { "$src/scripts/vm/cases.sh" get "$1" "$2"; }

# The simulator's options for a case: the case's own, without device time unless they give
# it; a case whose steps plug the locator starts without one.
sim_options() {
  local plug options
  plug=$(case_field "$1" plug)
  options=$(case_field "$1" sim)
  [[ $options == *--crc-ns* ]] || options+=" --fast"
  echo "$options $([[ $plug == none ]] && echo --plug-delay 600000 || echo --plug-delay "$2")"
}

# Does what the case's steps say while it runs (cases.sh steps), one after the other:
#   wait transcript|sim N TEXT   until N lines hold TEXT (in the updater's output or the
#                                simulator's log), at most 120 s
#   do LINE                      writes LINE to the simulator's control FIFO
#   sleep S                      pauses S seconds
#   replug N                     unplugs and plugs again: in the guest after 50 ms; on this
#                                machine, whose socket would merge the two, once the
#                                updater has reported the N-th departure
#   run_steps CASE TRANSCRIPT SIMLOG CONTROL guest|host
run_steps() {
  local name=$1 transcript=$2 simlog=$3 control=$4 where=$5 verb a b text
  exec {ctl}> "$control"
  while read -r verb a b; do
    case $verb in
      wait)
        local file=$transcript
        [[ $a == sim ]] && file=$simlog
        read -r n text <<< "$b"
        local deadline=$((SECONDS + 120))
        until (($(grep -acF -- "$text" "$file" 2>/dev/null) >= n)); do
          ((SECONDS < deadline)) || { echo "vm: $name: no $n of \"$text\" in $file" >&2; break; }
          sleep 0.05
        done ;;
      do) echo "$a${b:+ $b}" >&"$ctl" ;;
      sleep) sleep "$a" ;;
      replug)
        echo unplug >&"$ctl"
        if [[ $where == guest ]]; then
          sleep 0.05
        else
          local deadline=$((SECONDS + 120))
          until (($(grep -acF -- "Connect next locator" "$transcript" 2>/dev/null) >= a)); do
            ((SECONDS < deadline)) || break
            sleep 0.05
          done
        fi
        echo plug >&"$ctl" ;;
    esac
  done < <("$src/scripts/vm/cases.sh" steps "$name")
  exec {ctl}>&-
}

# The case on this machine against the simulator's socket: the reference transcript.
reference() {
  local name=$1 dir=$2 ref="$2/ref"
  rm -rf "$ref"
  mkdir -p "$ref/ProgramData/Quenby Ltd/Valtor Firmware Updater"
  "$src/scripts/vm/cases.sh" folders "$ref/folders"
  mv "$ref/folders/$name" "$ref/ProgramData/Quenby Ltd/Valtor Firmware Updater/Firmware"
  mkfifo "$ref/control"
  # shellcheck disable=SC2046
  "$sim" --socket "$ref/sim.sock" --control "$ref/control" $(sim_options "$name" 500) > "$ref/sim.log" 2>&1 &
  local simpid=$!
  wait_for "$ref/sim.log" 20 "listening" || { cat "$ref/sim.log"; return 1; }
  run_steps "$name" "$dir/reference.bin" "$ref/sim.log" "$ref/control" host &
  local steps=$!
  PROGRAMDATA="$ref/ProgramData" VX_LOCATOR_SIM="$ref/sim.sock" \
    sh "$src/scripts/vm/drive.sh" "$ref/folders/$name.env" "$dir/reference.bin" "$updater" || true
  kill "$steps" 2>/dev/null || true
  wait "$steps" 2>/dev/null || true
  stop_sim "$simpid"
}

# One case in a fresh guest.
guest() {
  local name=$1 dir=$2
  local sock="$dir/usbredir.sock" mon="$dir/monitor" plug
  plug=$(case_field "$name" plug)
  rm -f "$sock" "$mon" "$dir/control"
  mkfifo "$mon" "$dir/control"
  # shellcheck disable=SC2046
  "$sim" --usbredir "$sock" --trace "$dir/trace.txt" --dump-flash "$dir/flash.bin" --dump-eeprom "$dir/eeprom.bin" \
    --control "$dir/control" --log-times $(sim_options "$name" 0) > "$dir/sim.log" 2>&1 &
  local simpid=$!
  wait_for "$dir/sim.log" 20 "listening" || { cat "$dir/sim.log"; return 1; }
  local redir=()
  [[ $plug == cold ]] && redir=(-device usb-redir,chardev=locator,id=locator,bus=xhci.0)
  # The monitor reads its commands from the FIFO; holding it open keeps QEMU's stdin open.
  qemu-system-x86_64 -accel tcg -m 512 -nodefaults -display none -no-reboot \
    -kernel "$vm/vmlinux" -initrd "$vm/initramfs" \
    -append "console=ttyS0 loglevel=4 panic=-1 vxcase=$name" \
    -serial "file:$dir/console.txt" -serial "file:$dir/transcript.bin" \
    -device qemu-xhci,id=xhci -chardev "socket,id=locator,path=$sock" "${redir[@]}" \
    -monitor stdio < "$mon" > "$dir/qemu.log" 2>&1 &
  local qemupid=$!
  exec {monfd}> "$mon"
  local started=$SECONDS steps=
  # Plug the locator in once the updater waits for it: a hot-plug into the running guest
  # (with plug none, the locator itself is plugged by the steps, into this device).
  if wait_for "$dir/console.txt" 120 "vx-mark ready"; then
    [[ $plug == cold ]] || echo "device_add usb-redir,chardev=locator,id=locator,bus=xhci.0" >&"$monfd"
    echo "ready $(date +%s.%N)" > "$dir/host-clock.txt"
    run_steps "$name" "$dir/transcript.bin" "$dir/sim.log" "$dir/control" guest &
    steps=$!
  fi
  local deadline=$((SECONDS + 300))
  while kill -0 "$qemupid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
  echo "exit $(date +%s.%N)" >> "$dir/host-clock.txt"
  if kill -0 "$qemupid" 2>/dev/null; then
    echo "vm: $name: the guest did not power off in time" >&2
    kill "$qemupid" 2>/dev/null || true
  fi
  wait "$qemupid" 2>/dev/null || true
  if [[ -n $steps ]]; then kill "$steps" 2>/dev/null || true; wait "$steps" 2>/dev/null || true; fi
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
