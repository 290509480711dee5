#!/usr/bin/env bash
# Installs every Debian package Ratelog needs to build, test and run, and
# the extra packages named as arguments (scripts/package.sh asks for its
# packaging tools so). Debian 12, as root (or through sudo); non-interactive
# and idempotent: packages already installed are left alone, and apt is only
# touched when something is missing.
set -euo pipefail

packages=(
  # tool chain
  g++ make cmake ninja-build pkg-config git
  # libraries
  qt6-base-dev qt6-qpa-plugins libqcustomplot-dev libgl-dev
  # rendering the program icon to PNG at build time
  qt6-svg-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # running the window without a desktop, pseudo-terminal helpers, fonts
  xvfb xauth socat fonts-dejavu-core
  # validating the desktop entry and the recording file type
  desktop-file-utils shared-mime-info
  # checking the PDF test reports (text, page size, fonts, structure)
  poppler-utils qpdf
  # a desktop language that writes a decimal comma (German), for the tests
  # of the program's number texts under it
  locales
  # the results store: an SQLite file, a PostgreSQL server (the client
  # library, and the server for the tests' throw-away cluster)
  libsqlite3-dev libpq-dev postgresql
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

german=0
locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8' && german=1
if [ ${#missing[@]} -eq 0 ] && [ $german -eq 1 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: run as root to install: ${missing[*]} (and the de_DE.UTF-8 locale)" >&2; exit 1; }
  SUDO=sudo
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ $german -eq 0 ]; then
  echo "setup: compiling the de_DE.UTF-8 locale"
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
