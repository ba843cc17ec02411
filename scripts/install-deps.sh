#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running Quillpost need.
# Only what is missing is installed; a machine that has everything is left alone.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build ccache pkg-config clang
  # tests
  googletest libgtest-dev libgmock-dev
  # components
  libpugixml-dev
  libsqlite3-dev
  libcurl4-openssl-dev
  nlohmann-json3-dev
  librabbitmq-dev
  qt6-base-dev libxcb1-dev
  # test peers and helpers (rabbitmq-server: a private broker for the tests)
  python3-aiosmtpd
  rabbitmq-server
  openssl
  # the status window's tray test: a virtual X server with a notification area
  xvfb xdotool imagemagick trayer
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
