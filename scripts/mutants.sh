#!/usr/bin/env bash
# Mutation check: puts each single-line fault of scripts/mutants.txt into a
# copy of this tree, builds the test programs that hold the tests named for
# it (and the programs the tests start) and runs those tests. A fault is
# "killed" when at least one of them fails. Exits 0 only when every selected
# fault was killed.
#
#   bash scripts/mutants.sh [--match REGEX] [--work DIR] [--no-baseline] [--check]
#
#   --match REGEX   only the faults whose name matches (grep -E)
#   --work DIR      where the copy and its build live (default
#                   /tmp/ratelog-mutants); kept between runs, so that a
#                   second run builds only what changed
#   --no-baseline   skip the first run of the selected tests on the
#                   unchanged copy (they must pass there, or a fault would
#                   look killed)
#   --check         only check that every listed text occurs exactly once
#
# Set-up as for the test suite (scripts/setup.sh) is expected.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/scripts/mutants.txt
match=""
work=/tmp/ratelog-mutants
baseline=1
check=0
while [ $# -gt 0 ]; do
  case $1 in
    --match) match=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --no-baseline) baseline=0; shift ;;
    --check) check=1; shift ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

# The entries, one record each: name, file, from, to, tests.
names=() files=() froms=() tos=() tests=()
add_entry() {
  if [ -n "$n" ] && { [ -z "$match" ] || grep -qE -- "$match" <<<"$n"; }; then
    names+=("$n") files+=("$f") froms+=("$fr") tos+=("$to") tests+=("$t")
  fi
  n="" f="" fr="" to="" t=""
}
n="" f="" fr="" to="" t=""
while IFS= read -r line || [ -n "$line" ]; do
  case $line in
    "#"*) ;;
    "") add_entry ;;
    "name: "*) n=${line#name: } ;;
    "file: "*) f=${line#file: } ;;
    "from: "*) fr=${line#from: } ;;
    "to: "*) to=${line#to: } ;;
    "tests: "*) t=${line#tests: } ;;
    *) echo "mutants.txt: unreadable line: $line" >&2; exit 2 ;;
  esac
done <"$list"
add_entry
count=${#names[@]}
[ "$count" -gt 0 ] || { echo "no fault matches '$match'" >&2; exit 2; }

# apply SOURCE_FILE FROM TO OUT_FILE: writes the file with the one
# occurrence of FROM replaced; fails when FROM is missing or not unique.
apply() {
  FROM="$2" TO="$3" awk '
    BEGIN { from = ENVIRON["FROM"]; to = ENVIRON["TO"] }
    { lines[NR] = $0
      rest = $0; k = 0
      while ((i = index(rest, from)) > 0) { k++; rest = substr(rest, i + length(from)) }
      if (k > 0) { hits += k; at = NR } }
    END {
      if (hits != 1) { print hits + 0 > "/dev/stderr"; exit 1 }
      for (j = 1; j <= NR; j++) {
        if (j == at) { i = index(lines[j], from)
          print substr(lines[j], 1, i - 1) to substr(lines[j], i + length(from)) }
        else print lines[j] } }' "$1" >"$4"
}

bad=0
for ((i = 0; i < count; i++)); do
  if ! hits=$(apply "$root/${files[i]}" "${froms[i]}" "${tos[i]}" /dev/null 2>&1); then
    echo "${names[i]}: the text occurs ${hits} times in ${files[i]} (must be once)" >&2
    bad=1
  fi
done
[ $bad -eq 0 ] || exit 2
if [ $check -eq 1 ]; then
  echo "$count faults, each text found once"
  exit 0
fi

# A copy of the tree as it is now (committed or not), made afresh so that
# files removed from the tree are gone from it too. A file with the same
# bytes as in the copy before keeps that copy's time, so the earlier build
# stays valid for it; every other file is dated now, so that it is rebuilt
# even when its own time is older than the objects (an interrupted run
# leaves a fault in the copy, an edit can be older than the last build).
src=$work/src
build=$work/build
fresh=$work/src.new
rm -rf "$fresh"
mkdir -p "$fresh" "$src"
(cd "$root" && git ls-files -z -co --exclude-standard | tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
  tar -xf - -C "$fresh"
(cd "$fresh" && find . -type f -print0) | while IFS= read -r -d '' f; do
  if cmp -s "$fresh/$f" "$src/$f"; then touch -r "$src/$f" "$fresh/$f"; else touch "$fresh/$f"; fi
done
rm -rf "$src"
mv "$fresh" "$src"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
export QT_QPA_PLATFORM=offscreen
echo "== building the copy in $build"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRATELOG_BENCH=OFF \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j "${RATELOG_JOBS:-2}" >/dev/null

# Which test program holds which test: "Suite.Case program" lines, for the
# programs CTest runs now (programs of removed test files may still lie in
# the build folder).
index=$work/tests.txt
: >"$index"
for exe in $(ctest --test-dir "$build" --show-only=json-v1 |
             grep -oE '"[^"]*/tests/test_[A-Za-z0-9_]+"' | tr -d '"' | sort -u); do
  [ -x "$exe" ] || continue
  "$exe" --gtest_list_tests 2>/dev/null | awk -v exe="$(basename "$exe")" '
    /^[^ ]/ { suite = $1; next }
    /^  / { print suite $1, exe }' >>"$index"
done
programs_for() { RE="$1" awk '$1 ~ ENVIRON["RE"] { print $2 }' "$index" | sort -u; }

run_tests() {
  ctest --test-dir "$build" -R "$1" --no-tests=error --stop-on-failure --timeout 180 \
    -j "${RATELOG_JOBS:-2}" >"$2" 2>&1
}

if [ $baseline -eq 1 ]; then
  echo "== the selected tests on the unchanged copy"
  # One run per distinct expression (CTest's expressions take few groups).
  while IFS= read -r expr; do
    if ! run_tests "$expr" "$work/baseline.log"; then
      echo "the tests $expr fail without any fault (see $work/baseline.log)" >&2
      exit 1
    fi
  done < <(printf '%s\n' "${tests[@]}" | sort -u)
fi

killed=0
survivors=()
for ((i = 0; i < count; i++)); do
  name=${names[i]} file=$src/${files[i]}
  cp "$root/${files[i]}" "$work/original"
  apply "$work/original" "${froms[i]}" "${tos[i]}" "$file" 2>/dev/null
  programs=$(programs_for "${tests[i]}")
  result=""
  if [ -z "$programs" ]; then
    result="NO TESTS match ${tests[i]}"
  # shellcheck disable=SC2086
  elif ! cmake --build "$build" -j "${RATELOG_JOBS:-2}" --target $programs ratelog-cli ratelog-sim >"$work/$name.build.log" 2>&1; then
    result="DOES NOT BUILD (see $work/$name.build.log)"
  elif run_tests "${tests[i]}" "$work/$name.log"; then
    result="SURVIVED (see $work/$name.log)"
  else
    result="killed by $(grep -m1 -oE '[0-9]+ - [^ ]+' "$work/$name.log" | sed 's/^[0-9]* - //' || true)"
    killed=$((killed + 1))
  fi
  # The original back, newer than the mutant's objects so that it is rebuilt.
  cp "$work/original" "$file"
  touch "$file"
  [[ $result == killed* ]] || survivors+=("$name")
  printf '%-55s %s\n' "$name" "$result"
done
# Leave the copy built as it is in the tree.
cmake --build "$build" -j "${RATELOG_JOBS:-2}" >/dev/null || true

echo "== $killed of $count faults killed"
if [ ${#survivors[@]} -gt 0 ]; then
  echo "not killed: ${survivors[*]}"
  exit 1
fi
