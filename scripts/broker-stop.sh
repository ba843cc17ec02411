#!/usr/bin/env bash
# Stops a broker started by scripts/broker-start.sh and removes its folder.
#   scripts/broker-stop.sh FOLDER [--keep]     --keep leaves the folder in place
set -uo pipefail

case "${1:-}" in
  -h|--help|"") sed -n '2,3p' "$0" | sed 's/^# \{0,1\}//'; [ -n "${1:-}" ]; exit ;;
esac
folder="$1"
if [ ! -f "$folder/broker.env" ]; then
  echo "broker-stop: $folder holds no broker started by broker-start.sh" >&2
  exit 1
fi
# shellcheck disable=SC1091
. "$folder/broker.env"

timeout 60 /usr/lib/rabbitmq/bin/rabbitmqctl -n "$RABBITMQ_NODENAME" stop > "$folder/stop.out" 2>&1 ||
  echo "broker-stop: rabbitmqctl stop failed; ending the broker's processes" >&2
# Whatever is left of this broker (its launcher and Erlang VM) gets 20 s to
# end, then is ended.
pids=()
for pidfile in "$folder/broker.pid" "$folder/server.launcher.pid"; do
  if [ -s "$pidfile" ]; then
    pids+=("$(cat "$pidfile")")
  fi
done
alive() {
  local pid
  for pid in "${pids[@]}"; do
    kill -0 "$pid" 2>/dev/null && return 0
  done
  return 1
}
deadline=$((SECONDS + 20))
while alive && ((SECONDS < deadline)); do
  sleep 0.2
done
for pid in "${pids[@]}"; do
  kill -KILL "$pid" 2>/dev/null || true
done
epmd -kill > /dev/null 2>&1 || true

if [ "${2:-}" != "--keep" ]; then
  rm -rf "$folder"
fi
exit 0
