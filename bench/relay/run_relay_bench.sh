#!/usr/bin/env bash
# Runs the relay's end-to-end benchmark, relay_bench, with Postfix's smtp-sink
# and smtp-source. When they are not installed, Debian's postfix package is
# fetched (apt-get download) and unpacked into ~/.cache/quillpost-bench
# (QUILLPOST_BENCH_TOOLS), never installed: the machine's mail set-up stays.
#   bench/relay/run_relay_bench.sh [build-dir] [relay_bench options]
#   bench/relay/run_relay_bench.sh build/release --network 3 --mails 1000
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
build="${1:-build/release}"
shift || true
bench="$build/bench/relay/relay_bench"
[ -x "$bench" ] || { echo "run_relay_bench: $bench not built" >&2; exit 1; }

if [ ! -x /usr/sbin/smtp-sink ] || [ ! -x /usr/sbin/smtp-source ]; then
  # shellcheck source=bench/postfix_tools.sh
  . "$(dirname "$0")/../postfix_tools.sh"
  tools="$(unpacked_postfix run_relay_bench)"
  export QUILLPOST_POSTFIX_TOOLS="$tools"
  export LD_LIBRARY_PATH="$tools/usr/lib/postfix${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
fi
exec "$bench" "$@"
