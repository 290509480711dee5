#!/usr/bin/env bash
# Sets up this machine (Debian 12, with the packaging tools), builds Ratelog
# with Debian's hardening flags and makes the Debian package
# build/ratelog_<version>_<arch>.deb, then checks it with lintian (no errors
# allowed; warnings are shown) and desktop-file-validate.
# Install it with: apt install ./build/ratelog_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh dpkg-dev file lintian

jobs=${RATELOG_JOBS:-2}
dir=build/package
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DRATELOG_TESTS=OFF -DRATELOG_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
for png in "$dir"/packaging/icons/48x48/ratelog.png "$dir"/packaging/icons/256x256/ratelog.png; do
  [ -s "$png" ] || { echo "package: $png was not rendered (Qt SVG module missing?)" >&2; exit 1; }
done

rm -f "$dir"/ratelog_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/ratelog_*.deb)
rm -f build/ratelog_*.deb
cp "$deb" build/
deb=build/$(basename "$deb")

echo "== lintian"
lintian --fail-on error --no-tag-display-limit "$deb" || { echo "package: lintian found errors" >&2; exit 1; }
echo "== desktop-file-validate"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
desktop-file-validate "$tree/usr/share/applications/ratelog.desktop"

echo
dpkg-deb --info "$deb" | sed -n '/Package:/,/Description:/p'
echo "The package is $deb; install it with: apt install ./$deb"
