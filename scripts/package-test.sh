#!/usr/bin/env bash
# Tries the packages of build/package/ (scripts/package.sh) on a clean system:
# makes a minimal Debian 12 root with mmdebstrap from the package mirror,
# installs them there with apt, checks the user, the spool, sendmail, mailq and
# the relay, then removes and purges them and checks that nothing is left
# (tests/package/clean_system_checks.sh). Needs root and the mirror.
#   scripts/package-test.sh
# QUILLPOST_DEBIAN_MIRROR names another mirror than http://deb.debian.org/debian
# (the default also brings bookworm-updates and the security updates).
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  "") ;;
  -h|--help)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 0 ;;
  *)
    echo "package-test: unknown argument '$1' (see scripts/package-test.sh --help)" >&2
    exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: run it as root (mmdebstrap makes the root and chroots into it)" >&2
  exit 2
fi
# The window (quillpost-desktop) would bring Qt and X: it is left out.
packages=(quillpost quillpost-mta quillpost-smtpd libmailer1 libmailer-dev)
for package in "${packages[@]}"; do
  if ! compgen -G "build/package/${package}_*.deb" > /dev/null; then
    echo "package-test: build/package/ has no ${package}_*.deb; run scripts/package.sh first" >&2
    exit 2
  fi
done
scripts/install-deps.sh --package

mirror="${QUILLPOST_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
if ! reply="$(curl -fsS --max-time 30 -o /dev/null "$mirror/dists/bookworm/InRelease" 2>&1)"; then
  echo "package-test: FAILED: the Debian mirror $mirror cannot be reached ($reply);" \
       "the packages were not tried on a clean system" >&2
  exit 1
fi
mirrors=()
[ -z "${QUILLPOST_DEBIAN_MIRROR:-}" ] || mirrors=("$mirror")

stage="$(mktemp -d "${TMPDIR:-/tmp}/quillpost-package-test-XXXXXX")"
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/quillpost-test"
for package in "${packages[@]}"; do
  cp build/package/"${package}"_*.deb "$stage/quillpost-test/"
done
cp tests/package/clean_system_checks.sh "$stage/quillpost-test/"

started=$SECONDS
# shellcheck disable=SC2016  # $1 is the root, given to the hook by mmdebstrap
mmdebstrap --variant=apt \
  --customize-hook="copy-in $stage/quillpost-test /tmp" \
  --customize-hook='chroot "$1" sh /tmp/quillpost-test/clean_system_checks.sh' \
  bookworm /dev/null "${mirrors[@]}"
echo "package-test: passed in $((SECONDS - started)) s"
