#!/usr/bin/env bash
# Installs the Debian 12 packages that Quillpost needs. Only what is missing is
# installed; a machine that has everything is left alone.
#   scripts/install-deps.sh             what building and running need (man pages too)
#   scripts/install-deps.sh --tests     and what the tests, the fuzzers and CI need
#   scripts/install-deps.sh --package   and what building, checking and trying the
#                                       .deb packages needs (scripts/package*.sh)
# --tests and --package may be given together.
set -euo pipefail

# Building and running: one package or group per line.
packages=(
  build-essential cmake ninja-build ccache pkg-config
  libpugixml-dev
  libsqlite3-dev
  libcurl4-openssl-dev
  libgmime-3.0-dev
  nlohmann-json3-dev
  librabbitmq-dev
  qt6-base-dev libxcb1-dev
  libsystemd-dev
  # quillpost-smtpd: STARTTLS (OpenSSL) and password hashes (libxcrypt's crypt_r)
  libssl-dev libcrypt-dev
  # the relay's /metrics server (libmicrohttpd12 is what the program runs with)
  libmicrohttpd-dev libmicrohttpd12
  # man pages (also for `cmake --install`); the units' check (systemd-analyze,
  # systemd-sysusers, systemd-tmpfiles)
  scdoc systemd
)

# The tests, the fuzzers and CI: one package or group per line.
test_packages=(
  clang
  googletest libgtest-dev libgmock-dev
  # test peers and helpers (rabbitmq-server: a private broker for the tests)
  python3-aiosmtpd
  rabbitmq-server
  openssl
  # promtool checks the relay's /metrics; curl scrapes it
  prometheus curl
  # real mail programs that the sendmail entry's tests run
  git git-email libmailtools-perl bsd-mailx
  # the status window's tray test: a virtual X server with a notification area
  xvfb xdotool imagemagick trayer
)

# The .deb packages: debhelper builds them, lintian checks them, mmdebstrap
# makes the clean Debian root they are tried in (curl: is the mirror there).
package_packages=(
  debhelper dpkg-dev lintian
  mmdebstrap curl
)

usage() {
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
}
for argument in "$@"; do
  case "$argument" in
    --tests) packages+=("${test_packages[@]}") ;;
    --package) packages+=("${package_packages[@]}") ;;
    -h|--help) usage; exit 0 ;;
    *)
      echo "install-deps: unknown argument '$argument'" >&2
      usage >&2
      exit 2 ;;
  esac
done

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
