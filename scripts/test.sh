#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   scripts/test.sh [preset]     preset: release (default), asan, debug
# The tests of broker queues use the broker named by $QUILLPOST_TEST_AMQP; when
# that is unset and rabbitmq-server is installed, a private broker is started
# for the run (QUILLPOST_NO_BROKER=1 skips those tests instead).
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-release}"
case "$preset" in
  -h|--help)
    sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'
    exit 0 ;;
esac

scripts/install-deps.sh --tests
cmake --preset "$preset"
cmake --build --preset "$preset"

if [ -z "${QUILLPOST_TEST_AMQP:-}" ] && [ -z "${QUILLPOST_NO_BROKER:-}" ] &&
   [ -x /usr/lib/rabbitmq/bin/rabbitmq-server ]; then
  broker="$(mktemp -d "${TMPDIR:-/tmp}/quillpost-broker-XXXXXX")"
  trap 'scripts/broker-stop.sh "$broker"' EXIT
  echo "test: starting a private message broker (QUILLPOST_NO_BROKER=1 skips its tests)"
  scripts/broker-start.sh "$broker" > /dev/null
  set -a
  # shellcheck disable=SC1091
  . "$broker/env"
  set +a
fi
ctest --preset "$preset" -j "$(nproc)"
