#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the layout: the
# three programs (with the version of the build), the desktop entry, the
# recording file type, the icons, the manual pages and the package's
# documents. The desktop entry and the file type are validated with
# desktop-file-validate and update-mime-database when those are installed
# (scripts/setup.sh installs them).
#   check_install.sh BUILD_DIR VERSION WITH_PNG_ICONS(0|1)
set -euo pipefail
build=$1 version=$2 pngs=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
need() { [ -s "$prefix/$1" ] || { echo "missing: $1"; fail=1; }; }
for f in bin/ratelog bin/ratelog-cli bin/ratelog-sim \
         share/applications/ratelog.desktop share/mime/packages/ratelog.xml \
         share/icons/hicolor/scalable/apps/ratelog.svg \
         share/man/man1/ratelog.1.gz share/man/man1/ratelog-cli.1.gz share/man/man1/ratelog-sim.1.gz \
         share/doc/ratelog/copyright share/doc/ratelog/changelog.Debian.gz; do
  need "$f"
done
if [ "$pngs" = 1 ]; then
  for size in 48 256; do
    f=share/icons/hicolor/${size}x${size}/apps/ratelog.png
    need "$f"
    # PNG signature, then the IHDR width and height.
    head=$(od -An -tx1 -N24 "$prefix/$f" | tr -d ' \n')
    printf -v wh '%08x%08x' "$size" "$size"
    [ "${head:0:16}" = 89504e470d0a1a0a ] && [ "${head:32:16}" = "$wh" ] ||
      { echo "not a ${size}x${size} PNG: $f"; fail=1; }
  done
fi
for p in ratelog ratelog-cli ratelog-sim; do
  out=$(QT_QPA_PLATFORM=offscreen "$prefix/bin/$p" --version)
  [ "$out" = "$p $version" ] || { echo "$p --version said '$out'"; fail=1; }
  QT_QPA_PLATFORM=offscreen "$prefix/bin/$p" --help | grep -- --version >/dev/null ||
    { echo "$p --help does not list --version"; fail=1; }
done
# (Whole texts read before the match: an early exit of grep -q would end
# zcat with SIGPIPE, which pipefail reports as a failure.)
zcat "$prefix/share/doc/ratelog/changelog.Debian.gz" | sed -n 1p | grep -q "^ratelog ($version-[0-9]*) " ||
  { echo "changelog.Debian does not start with version $version"; fail=1; }
zcat "$prefix/share/man/man1/ratelog-cli.1.gz" | grep -F -- '\-\-json' >/dev/null || { echo "ratelog-cli.1 lacks --json"; fail=1; }
grep -q '^Exec=ratelog %f$' "$prefix/share/applications/ratelog.desktop" || { echo "Exec line"; fail=1; }

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix/share/applications/ratelog.desktop" || fail=1
else
  echo "desktop-file-validate not installed: desktop entry not validated"
fi
if command -v update-mime-database >/dev/null; then
  # A database of just our type: the glob and the magic must come out.
  mime=$prefix/data/mime
  mkdir -p "$mime/packages"
  cp "$prefix/share/mime/packages/ratelog.xml" "$mime/packages/"
  if ! errors=$(XDG_DATA_HOME=$prefix/data update-mime-database "$mime" 2>&1) || [ -n "$errors" ]; then
    echo "update-mime-database: $errors"; fail=1
  fi
  grep -q '^application/x-ratelog-recording:\*\.rtd$' <(cut -d: -f2- "$mime/globs2") ||
    { echo "no *.rtd glob in globs2"; fail=1; }
  grep -aq 'application/x-ratelog-recording' "$mime/magic" && grep -aq 'VRDT' "$mime/magic" ||
    { echo "no VRDT magic"; fail=1; }
  grep -q '^application/x-ratelog-recording$' "$mime/types" || { echo "type not listed"; fail=1; }
else
  echo "update-mime-database not installed: file type not validated"
fi
exit $fail
