#!/usr/bin/env bash
# Sets up this machine (Debian 12), builds Ratelog and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=${RATELOG_JOBS:-2}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$jobs"
echo "Ratelog is built in build/release."
