#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a while: the device-answer and manifest
# targets for the given time (default 60 s each), the others for two thirds of it.
#   scripts/fuzz.sh [seconds]
# A crash leaves its input as build/fuzz/crash-* (with the target's name) and ends the
# script with a failure. Each run starts from the seeds in fuzz/seeds/<name>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
short=$(( seconds * 2 / 3 ))
scripts/deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

out=build/fuzz
run() {
  local name="$1" time="$2"
  mkdir -p "$out/corpus/$name"
  if [[ -d "fuzz/seeds/$name" ]]; then cp -n "fuzz/seeds/$name"/* "$out/corpus/$name/"; fi
  echo "=== fuzz_$name for $time s"
  # The device operations print their failure texts; only libFuzzer's own report matters.
  "$out/fuzz/fuzz_$name" -max_total_time="$time" -max_len=4096 -artifact_prefix="$out/fuzz_$name-" \
      "$out/corpus/$name" >"$out/fuzz_$name.log" 2>&1 || { tail -n 40 "$out/fuzz_$name.log"; exit 1; }
  grep -a -E '^Done [0-9]+ runs' "$out/fuzz_$name.log"
}
run device_responses "$seconds"
run manifest "$seconds"
run download "$short"
run socket_client "$short"
run sim_server "$short"
run sim_sequences "$short"
