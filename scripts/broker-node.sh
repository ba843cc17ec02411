#!/usr/bin/env bash
# One node of a broker started by scripts/broker-start.sh.
#   scripts/broker-node.sh start NODE-FOLDER   start it and wait until it accepts
#                                             connections (it rejoins its cluster)
#   scripts/broker-node.sh kill NODE-FOLDER    end it at once with SIGKILL, as a
#                                             machine that fails would
# NODE-FOLDER is the broker's folder, or FOLDER/nodeN of a cluster.
set -euo pipefail

usage() { sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; }
action="${1:-}"
dir="${2:-}"
if [ -z "$dir" ] || [ ! -f "$dir/broker.env" ]; then
  usage >&2
  exit 2
fi
# shellcheck disable=SC1091
. "$dir/broker.env"
bin=/usr/lib/rabbitmq/bin

accepts() {
  /usr/bin/python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1).close()' "$1" 2>/dev/null
}

case "$action" in
  start)
    rm -f "$RABBITMQ_PID_FILE"
    setsid "$bin/rabbitmq-server" >> "$dir/server.out" 2>&1 < /dev/null &
    echo $! > "$dir/server.launcher.pid"
    deadline=$((SECONDS + ${QUILLPOST_BROKER_START_SECONDS:-90}))
    for port in $QUILLPOST_BROKER_PORTS; do
      until accepts "$port"; do
        if ! kill -0 "$(cat "$dir/server.launcher.pid")" 2>/dev/null; then
          echo "broker-start: node $RABBITMQ_NODENAME ended during start-up; its output:" >&2
          tail -n 30 "$dir/server.out" >&2 || true
          exit 1
        fi
        if ((SECONDS >= deadline)); then
          echo "broker-start: node $RABBITMQ_NODENAME did not accept connections within the time; its output:" >&2
          tail -n 30 "$dir/server.out" >&2 || true
          exit 1
        fi
        sleep 0.5
      done
    done
    ;;
  kill)
    for pidfile in "$RABBITMQ_PID_FILE" "$dir/server.launcher.pid"; do
      if [ -s "$pidfile" ]; then
        kill -KILL "$(cat "$pidfile")" 2>/dev/null || true
      fi
    done
    ;;
  *) usage >&2; exit 2 ;;
esac
