#!/usr/bin/env bash
# The Windows updater under Wine, end to end.
#   wine_e2e.sh SCENARIO
# SCENARIO:
#   update      a complete update, keys typed during it discarded: transcript, flash and
#               EEPROM equal to the native run's
#   no-locator  two keys without a locator: transcript equal to the native run's
#   unplug      the locator goes during the download: transcript and flash equal to the native run's
#   winusb-idle the real-device backend with no device: the program waits cleanly, answers a
#               key, and uses next to no CPU while it waits
#   installer   the installer, silently in a fresh Wine prefix, once for each way pnputil (a
#               stand-in, as Wine has none) can end: its exit status and log; files and
#               shortcuts in place, the installed updater starts; the uninstaller keeps the
#               firmware folder's files
# The updater under Wine talks to the native simulator over loopback TCP; the native
# updater runs the same scenario against its own simulator over a Unix socket.
# Environment: WIN_FW_LOAD, WIN_SETUP, PNPUTIL_STANDIN (.exe files), NATIVE_FW_LOAD, NATIVE_SIM, WORK_DIR;
# WINEPREFIX for every scenario but the installer's, which makes its own.
set -euo pipefail
scenario="$1"
work="$WORK_DIR/$scenario"
rm -rf "$work"
mkdir -p "$work"
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}"
readonly kRunLimitS=120  # no single program runs longer than this
readonly kFirmwareRel="Quenby Ltd/Valtor Firmware Updater/Firmware"
readonly kPressKey="Press any key to start download"
readonly kPrompt="Connect Valtor locator and switch on"
readonly kAsterisks="************************************************************"  # ends an attempt

pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done  # timeout passes it on
  wait 2>/dev/null || true
}
trap cleanup EXIT

fail() {
  echo "FAIL ($scenario): $*" >&2
  exit 1
}

if [[ "$scenario" != installer && "$scenario" != winusb-idle ]]; then
  [[ -x "$NATIVE_SIM" && -x "$NATIVE_FW_LOAD" ]] ||
    fail "no native $NATIVE_SIM or $NATIVE_FW_LOAD: build the default preset's first (scripts/test.sh windows does)"
fi

# Occurrences of a text in a file.
count_in() { grep -o -F -- "$2" "$1" 2>/dev/null | wc -l || true; }

# wait_for FILE TEXT [COUNT [SECONDS]]: until FILE holds TEXT COUNT times.
wait_for() {
  local file="$1" text="$2" count="${3:-1}" tenths=$((${4:-60} * 10)) i
  for ((i = 0; i < tenths; i++)); do
    (($(count_in "$file" "$text") >= count)) && return 0
    sleep 0.1
  done
  echo "--- $file:" >&2
  cat -A "$file" >&2 || true
  fail "no \"$text\" (x$count) in $file"
}

# Waits until FILE has not grown for half a second (at most 10 s).
wait_quiet() {
  local file="$1" last=-1 size i
  for ((i = 0; i < 100; i++)); do
    size=$(stat -c %s "$file")
    [[ "$size" == "$last" ]] && return 0
    last="$size"
    sleep 0.5
  done
}

# start_sim DIR OPTIONS...: the native simulator with dumps and trace in DIR; sets sim_pid
# and sim_endpoint.
start_sim() {
  local dir="$1" endpoint="$2"
  shift 2
  timeout -k 2 "$kRunLimitS" "$NATIVE_SIM" --socket "$endpoint" --fast --trace "$dir/trace.txt" \
    --dump-flash "$dir/flash.bin" --dump-eeprom "$dir/eeprom.bin" "$@" >"$dir/sim.log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  wait_for "$dir/sim.log" "listening on" 1 30
  sim_endpoint=$(sed -n 's/.*listening on \([^ ]*\) .*/\1/p' "$dir/sim.log" | head -n 1)
}

# Stops the simulator so that it writes its dumps.
stop_sim() {
  kill -TERM "$sim_pid"
  wait "$sim_pid" || fail "the simulator in $1 did not end cleanly: $(cat "$1/sim.log")"
}

# start_updater DIR COMMAND...: the updater with its keys from a pipe (fd $keys) and its
# output in DIR/out.txt; sets updater_pid.
start_updater() {
  local dir="$1"
  shift
  mkfifo "$dir/keys"
  exec {keys}<>"$dir/keys"
  timeout -k 2 "$kRunLimitS" "$@" <"$dir/keys" >"$dir/out.txt" 2>"$dir/err.txt" &
  updater_pid=$!
  pids+=("$updater_pid")
}

stop_updater() {
  kill -0 "$updater_pid" 2>/dev/null || fail "the updater ended by itself: $(cat "$1/err.txt")"
  kill -TERM "$updater_pid" 2>/dev/null || true
  wait "$updater_pid" 2>/dev/null || true
}

# The firmware folder of a run: the native updater's under PROGRAMDATA, the Windows one's
# in the Wine prefix's C:\ProgramData.
firmware_of() {
  if [[ "$1" == native ]]; then echo "$work/native/ProgramData/$kFirmwareRel"; else
    echo "$WINEPREFIX/drive_c/ProgramData/$kFirmwareRel"
  fi
}

# A firmware folder with a manifest and an image with a header (image type 1, version 3,
# header CRC 0xBEEF) of PAGES 256-byte pages.
fill_firmware() {
  local folder="$1" pages="$2"
  rm -rf "$folder"
  mkdir -p "$folder"
  printf '12,0\n3,1,valtor_main.bin\n' >"$folder/pcversions.txt"
  perl -e 'print pack("V v v V V V V", 0xFCFCFCFC, 0, 1, 0, 3, 0, 0xBEEF);
           print chr(($_ * 37 + 11) & 0xFF) for 24 .. $ARGV[0] * 256 - 1;' "$pages" >"$folder/valtor_main.bin"
}

# run_one MODE SIM_OPTIONS... : one run of the scenario's script (the function
# drive_<scenario>) with the native (MODE native) or the Windows (MODE wine) updater.
run_one() {
  local mode="$1"
  shift
  trap cleanup EXIT  # this runs in a subshell of its own
  local dir="$work/$mode"
  mkdir -p "$dir"
  local endpoint="tcp:0"
  [[ "$mode" == native ]] && endpoint="$dir/sim.sock"
  start_sim "$dir" "$endpoint" "$@"
  if [[ "$mode" == native ]]; then
    start_updater "$dir" env PROGRAMDATA="$dir/ProgramData" VX_LOCATOR_SIM="$sim_endpoint" "$NATIVE_FW_LOAD"
  else
    start_updater "$dir" env -u PROGRAMDATA VX_LOCATOR_SIM="$sim_endpoint" wine "$WIN_FW_LOAD"
  fi
  "drive_${scenario//-/_}" "$dir"
  wait_quiet "$dir/out.txt"
  stop_updater "$dir"
  stop_sim "$dir"
  if [[ "$mode" == native ]]; then
    cp "$dir/out.txt" "$dir/transcript.txt"
  else
    # Windows' console output turns every "\n" into "\r\n"; undo that once per line end.
    sed 's/\r$//' "$dir/out.txt" >"$dir/transcript.txt"
  fi
}

# Runs the scenario both ways at once and compares the transcripts.
run_both() {
  local pages="$1"
  shift
  fill_firmware "$(firmware_of native)" "$pages"
  fill_firmware "$(firmware_of wine)" "$pages"
  cp "$(firmware_of native)/valtor_main.bin" "$work/image.bin"
  run_one native "$@" &
  local native=$!
  run_one wine "$@" &
  local wine=$!
  wait "$native" || fail "the native run failed"
  wait "$wine" || fail "the run under Wine failed"
  if ! cmp -s "$work/native/transcript.txt" "$work/wine/transcript.txt"; then
    diff <(cat -A "$work/native/transcript.txt") <(cat -A "$work/wine/transcript.txt") >&2 || true
    fail "the transcript under Wine differs from the native one (< native, > Wine)"
  fi
}

# Little-endian 32-bit words of a file from a byte offset.
words_at() { od -An -tu4 -j "$2" -N "$3" "$1" | xargs; }

drive_update() {
  wait_for "$1/out.txt" "$kPressKey"
  printf k >&"$keys"
  # Keys typed while the attempt runs are discarded when it ends: one attempt in all.
  wait_for "$1/out.txt" "Erasing Flash Sector"
  printf xy >&"$keys"
  wait_for "$1/out.txt" "$kAsterisks"
}

drive_no_locator() {
  wait_for "$1/out.txt" "$kPrompt"
  printf ab >&"$keys"
  wait_for "$1/out.txt" "USB Device NOT Connected" 2
}

drive_unplug() {
  wait_for "$1/out.txt" "$kPressKey"
  printf k >&"$keys"
  wait_for "$1/out.txt" "Kessan USB Device Disconnected"
}

case "$scenario" in
  update)
    run_both 12
    t="$work/native/transcript.txt"
    grep -q -F "SUCCESS, Flash and Firmware File CRCs equal" "$t" || fail "no CRC match in $t"
    grep -q -F "Downloading 12 Pages To Flash" "$t" || fail "not 12 pages in $t"
    [[ $(count_in "$t" "$kAsterisks") == 1 ]] || fail "not one attempt in $t"
    grep -q -F "Prd1 file download failed" "$t" && fail "a failure in $t"
    for f in flash.bin eeprom.bin; do
      cmp "$work/native/$f" "$work/wine/$f" || fail "$f under Wine differs from the native one"
    done
    # The image at flash unit 0x8000 (byte 0x10000), the overall record at EEPROM 0x1000.
    cmp -n 3072 -i 65536:0 "$work/wine/flash.bin" "$work/image.bin" || fail "the image is not in flash"
    [[ $(words_at "$work/wine/eeprom.bin" 4096 12) == "1 12 0" ]] || fail "no overall version record"
    ;;
  no-locator)
    run_both 1 --plug-delay 600000
    [[ $(count_in "$work/wine/transcript.txt" "USB Device NOT Connected") == 2 ]] || fail "not one report per key"
    ! grep -q "^OUT" "$work/wine/trace.txt" 2>/dev/null || fail "a request reached the simulator"
    ;;
  unplug)
    # The locator goes as the third page's request arrives.
    run_both 5 --fault "unplugbefore@cmd=412#3"
    t="$work/wine/transcript.txt"
    grep -q -F "Prd1 file download failed - Error code = -3" "$t" || fail "the attempt did not fail in $t"
    cmp "$work/native/flash.bin" "$work/wine/flash.bin" || fail "flash under Wine differs from the native one"
    cmp -n 512 -i 65536:0 "$work/wine/flash.bin" "$work/image.bin" || fail "pages 0 and 1 are not in flash"
    [[ $(od -v -An -tx1 -j $((65536 + 512)) -N 256 "$work/wine/flash.bin" | tr -d ' \n' | tr -d f) == "" ]] ||
      fail "page 2 was written after the unplug"
    ;;
  winusb-idle)
    fill_firmware "$(firmware_of wine)" 1
    dir="$work/wine"
    mkdir -p "$dir"
    start_updater "$dir" env -u VX_LOCATOR_SIM -u PROGRAMDATA wine "$WIN_FW_LOAD"
    wait_for "$dir/out.txt" "$kPrompt"
    # The Windows process: wine execs into it, under timeout.
    pid=$(pgrep -P "$updater_pid" | head -n 1)
    [[ -n "$pid" ]] || fail "no updater process"
    ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
    hz=$(getconf CLK_TCK)
    before=$(ticks)
    sleep 5
    used=$(($(ticks) - before))
    echo "CPU while waiting with no device: $used ticks of $((5 * hz)) (one core, 5 s)"
    # A busy wait would take every tick; the polling takes a few.
    ((used * 20 <= 5 * hz)) || fail "the waiting updater used $used of $((5 * hz)) ticks"
    printf k >&"$keys"
    wait_for "$dir/out.txt" "USB Device NOT Connected"
    wait_quiet "$dir/out.txt"
    stop_updater "$dir"
    expected=$'\nQUENBY VALTOR FIRMWARE UPDATER\n\n=================================================\n'
    expected+=$'Overall Version 12\nvaltor_main.bin 3\n\n'"$kPrompt"$' while holding the f and up buttons...\r\nUSB Device NOT Connected\n'
    [[ "$(sed 's/\r$//' "$dir/out.txt"; echo x)" == "$expected"x ]] || {
      cat -A "$dir/out.txt" >&2
      fail "unexpected output while waiting"
    }
    [[ ! -s "$dir/err.txt" ]] || fail "standard error: $(cat "$dir/err.txt")"
    ;;
  installer)
    export WINEPREFIX="$work/prefix"
    timeout -k 5 300 wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot: $(cat "$work/wineboot.log")"
    drive_c="$WINEPREFIX/drive_c"
    inst="$drive_c/Program Files/Quenby Ltd/Valtor Firmware Updater"
    menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Valtor Firmware Updater"
    # setup PNPUTIL_EXIT STATUS TEXT: a silent install whose pnputil ends with PNPUTIL_EXIT
    # ("none": there is no pnputil); the installer must end with STATUS (modulo 256, as Wine
    # passes it on) and its log hold TEXT.
    setup() {
      local standin="$drive_c/windows/system32/pnputil.exe" status=0
      if [[ "$1" == none ]]; then rm -f "$standin"; else cp "$PNPUTIL_STANDIN" "$standin"; fi
      VX_PNPUTIL_EXIT="$1" timeout -k 5 "$kRunLimitS" wine "$WIN_SETUP" /S >"$work/setup.log" 2>&1 || status=$?
      [[ "$status" == "$2" ]] || fail "setup with pnputil $1 ended with $status, not $2: $(cat "$work/setup.log")"
      grep -q -F -- "$3" "$inst/setup.log" || fail "setup with pnputil $1: no \"$3\" in $(cat "$inst/setup.log")"
    }
    # Windows refuses the package (0xE000022F: no signed catalog): the installer says so, with
    # the route that works, and fails; all the rest is installed all the same.
    setup 0xE000022F 47 "The locator driver was NOT installed (error -536870353, 0xE000022F)."
    grep -q -F "Universal Serial Bus devices > WinUsb Device" "$inst/setup.log" || fail "no Device Manager route in the log"
    grep -q -F '/add-driver "C:\Program Files\Quenby Ltd\Valtor Firmware Updater\driver\vx_locator.inf" /install' \
      "$inst/setup.log" || fail "pnputil was not asked to add and install the INF: $(cat "$inst/setup.log")"
    for f in "$inst/vx_fw_load.exe" "$inst/driver/vx_locator.inf" "$inst/README.txt" "$inst/uninstall.exe" \
      "$menu/Valtor Firmware Updater.lnk" "$menu/Firmware folder.lnk"; do
      [[ -f "$f" ]] || fail "not installed: $f"
    done
    cmp "$inst/vx_fw_load.exe" "$WIN_FW_LOAD" || fail "the installed updater is not the one built"
    # The shortcut opens a console that runs the updater and stays open.
    strings -el "$menu/Valtor Firmware Updater.lnk" | grep -q -F 'cmd.exe' &&
      strings -el "$menu/Valtor Firmware Updater.lnk" |
      grep -q -F '/k "C:\Program Files\Quenby Ltd\Valtor Firmware Updater\vx_fw_load.exe"' ||
      fail "the shortcut does not open the updater in a console"
    [[ -d "$drive_c/ProgramData/$kFirmwareRel" ]] || fail "no firmware folder"
    # The other ways pnputil can end, installed over the first.
    setup none 2 "The locator driver was NOT installed (error 2, 0x00000002)."
    setup 3010 194 "The locator driver is installed; Windows must restart to finish."
    setup 259 0 "Windows installs it when a locator is connected (one that already has another driver keeps it"
    setup 0 0 "The locator driver is installed."
    grep -q -F "NOT installed" "$inst/setup.log" && fail "a successful install's log tells a failure"
    # The installed updater starts and shows the banner.
    dir="$work/run"
    mkdir -p "$dir"
    start_updater "$dir" env -u VX_LOCATOR_SIM -u PROGRAMDATA wine "$inst/vx_fw_load.exe"
    wait_for "$dir/out.txt" "QUENBY VALTOR FIRMWARE UPDATER"
    wait_for "$dir/out.txt" "$kPrompt"
    stop_updater "$dir"
    # Uninstalling removes the program and its shortcuts, and keeps the operator's firmware.
    echo "12,0" >"$drive_c/ProgramData/$kFirmwareRel/pcversions.txt"
    # The uninstaller hands over to a copy of itself and returns at once: wait for the copy.
    timeout -k 5 "$kRunLimitS" wine "$inst/uninstall.exe" /S >"$work/uninstall.log" 2>&1 ||
      fail "uninstall: $(cat "$work/uninstall.log")"
    for ((i = 0; i < 600; i++)); do
      [[ ! -e "$inst" && ! -e "$menu" ]] && break
      sleep 0.1
    done
    [[ ! -e "$inst" && ! -e "$menu" ]] || fail "the uninstaller left the program or its shortcuts"
    [[ "$(cat "$drive_c/ProgramData/$kFirmwareRel/pcversions.txt")" == "12,0" ]] || fail "the firmware folder lost its files"
    # The prefix is large: it goes once its server has ended.
    timeout 30 wineserver -k || true
    timeout 30 wineserver -w || true
    rm -rf "$WINEPREFIX"
    ;;
  *)
    fail "unknown scenario"
    ;;
esac
echo "PASS ($scenario)"
