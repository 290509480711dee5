#!/usr/bin/env bash
# Sets up this machine (Debian 12), then builds and runs the whole test
# suite twice: a normal build, and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; then the threaded tests (serial link, timer,
# measurement run, virtual gyroscope, command-line tool) once more under
# ThreadSanitizer. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=${RATELOG_JOBS:-2}
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

# suite DIR [CTEST_LABELS] -- [CMAKE_OPTIONS...]
suite() {
  local dir=$1 labels=$2
  shift 2
  echo "== $dir: configure and build"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $dir: tests"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300 ${labels:+-L "$labels"}
}

suite build/release ""
suite build/sanitize "" -DRATELOG_SANITIZE=ON -DRATELOG_BENCH=OFF
suite build/tsan "acquisition|sim|cli" -DRATELOG_TSAN=ON -DRATELOG_GUI=OFF -DRATELOG_BENCH=OFF
