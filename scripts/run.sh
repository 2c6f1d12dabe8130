#!/usr/bin/env bash
# Builds what is missing and runs the updater in this terminal against the simulated
# locator (without VX_LOCATOR_SIM the updater waits for a real one). The simulator runs in
# production-line mode with a demo firmware folder: press a key when a locator is
# announced, watch the download and the verification, and the next locator arrives a few
# seconds later. End with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target vx_fw_load vx_locator_sim >/dev/null

demo="$PWD/build/demo"
firmware="$demo/ProgramData/Quenby Ltd/Valtor Firmware Updater/Firmware"
mkdir -p "$firmware"
# A 48 KB demo image (192 pages) with a header: image type 1, version 3, header CRC 0xBEEF.
perl -e 'print pack("V v v V V V V", 0xFCFCFCFC, 0, 1, 0, 3, 0, 0xBEEF);
         print chr(($_ * 37 + 11) & 0xFF) for 24 .. 49151;' > "$firmware/valtor_main.bin"
printf '12,0\n3,1,valtor_main.bin\n' > "$firmware/pcversions.txt"

socket="$demo/locator.sock"
build/default/sim/vx_locator_sim --socket "$socket" --production-line --plug-delay 1500 \
  --trace "$demo/trace.txt" --dump-flash "$demo/flash.bin" --dump-eeprom "$demo/eeprom.bin" \
  > "$demo/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; echo; echo "Simulator log: $demo/sim.log"' EXIT
export PROGRAMDATA="$demo/ProgramData" VX_LOCATOR_SIM="$socket"
build/default/app/vx_fw_load || true
