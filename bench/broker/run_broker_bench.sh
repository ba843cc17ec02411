#!/usr/bin/env bash
# Runs broker_bench against a private broker started for the run (or the one
# named by $QUILLPOST_TEST_AMQP), and stops that broker afterwards. With a
# broker of its own it also starts a three-node cluster and measures quorum
# queues on it, beside the classic queues of the single node.
#   bench/broker/run_broker_bench.sh [build-dir] [broker_bench options]
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
cd "$(dirname "$0")/../.."
build="${1:-build/release}"
shift || true
bench="$build/bench/broker/broker_bench"
[ -x "$bench" ] || { echo "run_broker_bench: $bench not built" >&2; exit 1; }

if [ -n "${QUILLPOST_TEST_AMQP:-}" ]; then
  exec "$bench" "$@"
fi

folder=""
stop() {
  if [ -n "$folder" ]; then
    scripts/broker-stop.sh "$folder"
  fi
  folder=""
}
trap stop EXIT
run_on() {  # run_on NODES broker_bench-options...
  local nodes=$1
  shift
  folder="$(mktemp -d "${TMPDIR:-/tmp}/quillpost-broker-XXXXXX")"
  scripts/broker-start.sh --nodes "$nodes" "$folder" > /dev/null
  (
    set -a
    # shellcheck disable=SC1091
    . "$folder/env"
    set +a
    "$bench" "$@"
  )
  stop
}
run_on 1 --name "classic, 1 node" "$@"
run_on 3 --broker-only --type quorum --name "quorum, 3 nodes" "$@"
