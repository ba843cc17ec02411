#!/usr/bin/env bash
# Runs broker_bench against a private broker started for the run (or the one
# named by $QUILLPOST_TEST_AMQP), and stops that broker afterwards.
#   bench/broker/run_broker_bench.sh [build-dir] [broker_bench options]
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
cd "$(dirname "$0")/../.."
build="${1:-build/release}"
shift || true
bench="$build/bench/broker/broker_bench"
[ -x "$bench" ] || { echo "run_broker_bench: $bench not built" >&2; exit 1; }

if [ -z "${QUILLPOST_TEST_AMQP:-}" ]; then
  folder="$(mktemp -d "${TMPDIR:-/tmp}/quillpost-broker-XXXXXX")"
  trap 'scripts/broker-stop.sh "$folder"' EXIT
  scripts/broker-start.sh "$folder" > /dev/null
  set -a
  # shellcheck disable=SC1091
  . "$folder/env"
  set +a
fi
"$bench" "$@"
