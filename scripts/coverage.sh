#!/usr/bin/env bash
# Coverage map: builds the program and its tests with GCC's --coverage in a
# folder of its own (build/coverage, unoptimised), runs the normal test suite
# there (offscreen), then prints line and branch coverage per folder of the
# program as a table and lists the lines no test runs in src/processing,
# src/report, src/files and cli/. Not part of the test command: it takes a
# while (a full build without the cache's help the first time, and the
# suite at -O0).
#
#   bash scripts/coverage.sh [--no-gui] [--no-build] [--no-tests]
#
#   --no-gui     without the window and its tests (src/ui, src/app and the
#                report's PDF and dialog are then not measured): half the
#                build on a busy machine
#   --no-build   use build/coverage as it is
#   --no-tests   only report the counts the last run left behind
#
# Needs gcovr (Debian's package; installed through scripts/setup.sh when
# missing). Branch figures leave out the branches GCC adds for exceptions
# and those it proves unreachable: they are no decision of the program's.
# The counters are updated atomically: the link, timer and run count from
# threads of their own. The tests that run the tool under a file size limit
# are left out here (the normal suite runs them): under the limit the
# tool's counts cannot be written whole, and a cut counts file spoils the
# counts of every later run of that code.
# Writes build/coverage/summary.json and build/coverage/uncovered.txt.
# Exits non-zero when a test failed (the table is printed all the same).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=build/coverage
do_build=1 do_tests=1 gui=ON
while [ $# -gt 0 ]; do
  case $1 in
    --no-gui) gui=OFF; shift ;;
    --no-build) do_build=0; shift ;;
    --no-tests) do_tests=0; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
bash scripts/setup.sh gcovr >/dev/null

jobs=${RATELOG_JOBS:-2}
export QT_QPA_PLATFORM=offscreen
if [ $do_build -eq 1 ]; then
  launcher=()
  if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  # Notes of objects another configuration built would count as lines no
  # test runs: a change of configuration starts afresh.
  if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "RATELOG_GUI:BOOL=$gui" "$build/CMakeCache.txt"; then
    rm -rf "$build"
  fi
  echo "== $build: configure and build (--coverage, -O0)"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRATELOG_BENCH=OFF -DRATELOG_GUI=$gui "${launcher[@]}" \
    -DCMAKE_CXX_FLAGS="--coverage -O0 -fprofile-update=atomic" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
  cmake --build "$build" -j "$jobs" >/dev/null
fi

failed=0
if [ $do_tests -eq 1 ]; then
  # Counts of an earlier run would add up with this one's.
  find "$build" -name '*.gcda' -delete
  echo "== $build: tests"
  ctest --test-dir "$build" -j "$jobs" --timeout 900 \
    -E '^(FullDisk\.|CliReport\.OutputIsReplacedOnlyByACompleteReport$|StoreFaults\.AtAFileSizeLimit)' \
    >"$build/ctest.log" 2>&1 || failed=1
  tail -n 3 "$build/ctest.log"
  if [ $failed -eq 1 ]; then
    echo "failed tests (see $build/ctest.log):"
    sed -n '/The following tests FAILED/,$p' "$build/ctest.log" | tail -n +2
  fi
fi

echo "== coverage (gcovr)"
filters=(--filter 'src/' --filter 'sim/' --filter 'cli/')
common=(-r "$root" "${filters[@]}" --exclude-throw-branches --exclude-unreachable-branches
        -j "$jobs" "$build")
gcovr "${common[@]}" --json-summary "$build/summary.json" >/dev/null

# Per folder: src/<unit>, sim, cli; the files' counts summed.
python3 - "$build/summary.json" <<'EOF'
import json, sys
from collections import defaultdict
data = json.load(open(sys.argv[1]))
rows = defaultdict(lambda: [0, 0, 0, 0])
for f in data["files"]:
    parts = f["filename"].split("/")
    folder = "/".join(parts[:2]) if parts[0] == "src" and len(parts) > 2 else parts[0]
    r = rows[folder]
    r[0] += f["line_covered"]; r[1] += f["line_total"]
    r[2] += f["branch_covered"]; r[3] += f["branch_total"]
def pct(a, b):
    return f"{100.0 * a / b:5.1f} %" if b else "    -  "
print(f"| {'folder':<18} | {'lines':>13} | {'line %':>7} | {'branches':>13} | {'branch %':>8} |")
print(f"|{'-' * 20}|{'-' * 15}:|{'-' * 8}:|{'-' * 15}:|{'-' * 9}:|")
total = [0, 0, 0, 0]
for folder in sorted(rows):
    r = rows[folder]
    total = [t + v for t, v in zip(total, r)]
    print(f"| {folder:<18} | {r[0]:>6}/{r[1]:<6} | {pct(r[0], r[1]):>7} | {r[2]:>6}/{r[3]:<6} | {pct(r[2], r[3]):>8} |")
print(f"| {'all':<18} | {total[0]:>6}/{total[1]:<6} | {pct(total[0], total[1]):>7} | "
      f"{total[2]:>6}/{total[3]:<6} | {pct(total[2], total[3]):>8} |")
EOF

# The lines no test runs, file by file, where the suite aims highest.
gcovr -r "$root" --filter 'src/processing/' --filter 'src/report/' --filter 'src/files/' \
  --filter 'cli/' -j "$jobs" "$build" --sort-percentage >"$build/uncovered.txt"
echo "== uncovered lines (file, lines, covered %, missing lines)"
awk 'NR > 5 && !/^-+$/ && !/^TOTAL/ && $4 != "100%"' "$build/uncovered.txt"
exit $failed
