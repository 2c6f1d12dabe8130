#!/usr/bin/env bash
# Builds what is missing and runs the updater in this terminal. Without a locator (the
# USB backends for real devices are not built yet), it runs against the simulated locator
# in production-line mode with a demo firmware folder: press a key when a locator is
# announced, watch the download, and the next locator arrives a few seconds later.
# Close with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target vx_fw_load vx_locator_sim

exec scripts/demo.sh
