#!/usr/bin/env bash
# Sets up this machine (Debian 12), then builds and runs the whole test
# suite twice: a normal build, and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; then the threaded tests (serial link, timer,
# measurement run, virtual gyroscope, command-line tool, results store) once
# more under ThreadSanitizer. The results store's tests run against an SQLite
# file and against a PostgreSQL server: a throw-away cluster that this script
# starts in a temporary folder (Unix socket only, as an unprivileged user)
# and removes at the end, also when a test fails. Exits non-zero when
# anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=${RATELOG_JOBS:-2}
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

# The throw-away PostgreSQL cluster: its connection string goes to the tests
# as RATELOG_TEST_PG. Where the postgresql package is absent (never in CI,
# whose set-up installs it) the PostgreSQL cases are skipped, and say so.
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
pg_dir=""
pg_user=""
data_dir=""
stop_cluster() {
  [ -z "$data_dir" ] || rm -rf "$data_dir"
  if [ -n "$pg_dir" ]; then
    if [ -n "$pg_user" ]; then
      runuser -u "$pg_user" -- "$pg_bin/pg_ctl" -D "$pg_dir/data" -m immediate stop >/dev/null 2>&1 || true
    else
      "$pg_bin/pg_ctl" -D "$pg_dir/data" -m immediate stop >/dev/null 2>&1 || true
    fi
    rm -rf "$pg_dir"
  fi
}
trap stop_cluster EXIT
# As root the cluster belongs to nobody; where nobody may not run the
# server's programs (a root folder closed to other users, as in some
# chroots) the PostgreSQL cases are skipped, and say why.
pg_runnable=1
if [ -n "$pg_bin" ] && [ "$(id -u)" -eq 0 ] && ! runuser -u nobody -- test -x "$pg_bin/initdb" 2>/dev/null; then
  pg_runnable=0
fi
if [ -n "$pg_bin" ] && [ -x "$pg_bin/initdb" ] && [ $pg_runnable -eq 0 ]; then
  echo "== PostgreSQL cannot run here as an unprivileged user (nobody may not reach $pg_bin):" \
       "the results store's PostgreSQL cases are skipped"
elif [ -n "$pg_bin" ] && [ -x "$pg_bin/initdb" ]; then
  pg_dir=$(mktemp -d /tmp/ratelog-pg-XXXXXX)
  chmod 755 "$pg_dir"
  as_owner=()
  if [ "$(id -u)" -eq 0 ]; then
    # The server refuses to run as root: the cluster belongs to nobody.
    pg_user=nobody
    chown "$pg_user" "$pg_dir"
    as_owner=(runuser -u "$pg_user" --)
  fi
  # From the cluster's folder: the owner may not be allowed into this one.
  (
    cd "$pg_dir"
    "${as_owner[@]}" "$pg_bin/initdb" -D "$pg_dir/data" -A trust -U ratelog --no-sync -E UTF8 >"$pg_dir/initdb.log" 2>&1
    "${as_owner[@]}" "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/server.log" -w \
      -o "-k $pg_dir -c listen_addresses='' -c fsync=off -c max_connections=200" start >/dev/null
    "${as_owner[@]}" "$pg_bin/createdb" -h "$pg_dir" -U ratelog ratelog_test
  )
  export RATELOG_TEST_PG="host=$pg_dir user=ratelog dbname=ratelog_test"
  echo "== PostgreSQL $("$pg_bin/postgres" --version | awk '{print $3}') for the tests on $pg_dir"
else
  echo "== PostgreSQL is not installed: the results store's PostgreSQL cases are skipped"
fi
# The tests' results stores never land in the user's own data folder.
data_dir=$(mktemp -d /tmp/ratelog-data-XXXXXX)
export XDG_DATA_HOME=$data_dir

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
suite build/tsan "acquisition|sim|cli|store" -DRATELOG_TSAN=ON -DRATELOG_GUI=OFF -DRATELOG_BENCH=OFF
