#!/usr/bin/env bash
# Stops a broker started by scripts/broker-start.sh (every node of a cluster)
# and removes its folder.
#   scripts/broker-stop.sh FOLDER [--keep]     --keep leaves the folder in place
set -uo pipefail

case "${1:-}" in
  -h|--help|"") sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; [ -n "${1:-}" ]; exit ;;
esac
folder="$1"
if [ -f "$folder/nodes" ]; then
  mapfile -t node_folders < <(cut -d' ' -f1 "$folder/nodes")
elif [ -f "$folder/broker.env" ]; then
  node_folders=("$folder")
else
  echo "broker-stop: $folder holds no broker started by broker-start.sh" >&2
  exit 1
fi

# Stops one node: rabbitmqctl stop, then whatever is left of it (its launcher
# and Erlang VM) gets 20 s to end and is ended.
stop_node() {
  local dir=$1 pid pids=() deadline
  (
    # shellcheck disable=SC1091
    . "$dir/broker.env"
    timeout 60 /usr/lib/rabbitmq/bin/rabbitmqctl -n "$RABBITMQ_NODENAME" stop > "$dir/stop.out" 2>&1
  ) || echo "broker-stop: rabbitmqctl stop failed for $dir; ending its processes" >&2
  for pidfile in "$dir/broker.pid" "$dir/server.launcher.pid"; do
    if [ -s "$pidfile" ]; then
      pids+=("$(cat "$pidfile")")
    fi
  done
  deadline=$((SECONDS + 20))
  while ((SECONDS < deadline)); do
    local alive=0
    for pid in "${pids[@]}"; do
      kill -0 "$pid" 2>/dev/null && alive=1
    done
    ((alive)) || break
    sleep 0.2
  done
  for pid in "${pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
  done
}

# The nodes of a cluster stop together: one that stops alone would wait for
# the others to take over its queues.
for dir in "${node_folders[@]}"; do
  if [ -f "$dir/broker.env" ]; then
    stop_node "$dir" &
  fi
done
wait
(
  # shellcheck disable=SC1091
  . "${node_folders[0]}/broker.env"
  epmd -kill > /dev/null 2>&1
) || true

if [ "${2:-}" != "--keep" ]; then
  rm -rf "$folder"
fi
exit 0
