#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a while (default 60 s each).
#   scripts/fuzz.sh [seconds]
# A crash leaves its input as build/fuzz/crash-* and ends the script with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

out=build/fuzz
mkdir -p "$out/corpus/device_responses" "$out/corpus/manifest"
cp -n fuzz/seeds/manifest/* "$out/corpus/manifest/"
for name in device_responses manifest; do
  echo "=== fuzz_$name for $seconds s"
  # The device operations print their failure texts; only libFuzzer's own report matters.
  "$out/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=4096 -artifact_prefix="$out/" \
      "$out/corpus/$name" >"$out/fuzz_$name.log" 2>&1 || { tail -n 40 "$out/fuzz_$name.log"; exit 1; }
  grep -a -E '^Done [0-9]+ runs' "$out/fuzz_$name.log"
done
