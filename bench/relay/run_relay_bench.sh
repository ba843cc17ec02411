#!/usr/bin/env bash
# Runs the relay's end-to-end benchmark: installs Postfix (for smtp-sink and
# smtp-source, left unconfigured) when it is missing, then runs relay_bench.
#   bench/relay/run_relay_bench.sh [build-dir] [relay_bench options]
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
build="${1:-build/release}"
shift || true
bench="$build/bench/relay/relay_bench"
[ -x "$bench" ] || { echo "run_relay_bench: $bench not built" >&2; exit 1; }

if [ ! -x /usr/sbin/smtp-sink ] || [ ! -x /usr/sbin/smtp-source ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "postfix postfix/main_mailer_type select No configuration" | "${sudo_cmd[@]}" debconf-set-selections
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends postfix
fi
exec "$bench" "$@"
