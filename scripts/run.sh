#!/usr/bin/env bash
# Sets up this machine (Debian 12), builds Ratelog and starts the window with
# the virtual gyroscope on COM1. Without a display it says so and runs a
# 10-second headless measurement with the virtual gyroscope instead, then
# the basic-parameter calculation on the recording.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=${RATELOG_JOBS:-2}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$jobs" --target ratelog ratelog-cli ratelog-sim
bin=build/release/bin

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting Ratelog with the virtual gyroscope on COM1."
  echo "Press Start, then tick 'Rate' and 'Average' to see them on the chart; Stop shows the whole"
  echo "recording; drag right and down to zoom and read the span's statistics."
  exec "$bin/ratelog" --simulate
fi

echo "No display here (DISPLAY and WAYLAND_DISPLAY are not set), so the window cannot open."
echo "Running a 10-second measurement with the virtual gyroscope instead:"
out=build/simulated-run.rtd
"$bin/ratelog-cli" record --simulate --seconds 10 --out "$out"
echo
echo "Basic parameters of $out:"
"$bin/ratelog-cli" calc "$out"
echo "(NAN: the span is too short for that quantity: the drift error needs more than"
echo " 3 x 100 s, the random walk more than 10 x 10 s with the default settings.)"
