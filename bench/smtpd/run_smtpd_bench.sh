#!/usr/bin/env bash
# Postfix's smtp-source (4 sessions, each sending message after message on its
# connection: -s 4 -d) into smtp-sink, which throws every message away, and
# into quillpost-smtpd, which answers 250 only once the message is on the disk
# of a scratch store; three rounds taking turns, so that both meet the same
# load of the machine. Prints each one's best rate and the listener's share,
# and the listener's rate with one session, where every message waits for a
# flush of its own: the disk's floor under the figures.
#   bench/smtpd/run_smtpd_bench.sh [build-dir] [messages]
# smtp-source and smtp-sink come from Debian's postfix package. When they are
# not on PATH the package is fetched (apt-get download) and unpacked into
# ~/.cache/quillpost-bench (QUILLPOST_BENCH_TOOLS), never installed: the
# machine's mail set-up stays as it is.
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
build="${1:-build/release}"
messages="${2:-2000}"
smtpd="$(find "$build" -type f -name quillpost-smtpd -perm -u+x | head -n 1)"
queue_tool="$(find "$build" -type f -name quillpost-queue -perm -u+x | head -n 1)"
[ -n "$smtpd" ] && [ -n "$queue_tool" ] || {
  echo "run_smtpd_bench: quillpost-smtpd or quillpost-queue not built in $build" >&2
  exit 1
}

if command -v smtp-source >/dev/null && command -v smtp-sink >/dev/null; then
  source_cmd=(smtp-source)
  sink_cmd=(smtp-sink)
else
  # shellcheck source=bench/postfix_tools.sh
  . "$(dirname "$0")/../postfix_tools.sh"
  tools="$(unpacked_postfix run_smtpd_bench)"
  source_cmd=(env "LD_LIBRARY_PATH=$tools/usr/lib/postfix" "$tools/usr/sbin/smtp-source")
  sink_cmd=(env "LD_LIBRARY_PATH=$tools/usr/lib/postfix" "$tools/usr/sbin/smtp-sink")
fi

scratch="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
wait_for_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "run_smtpd_bench: nothing listens on port $1" >&2
  exit 1
}
# Messages per second that smtp-source gets through to the port.
rate() { # PORT [SESSIONS]
  local start end
  start=$(date +%s.%N)
  "${source_cmd[@]}" -s "${2:-4}" -d -m "$messages" -l 2000 -f ann@example.org -t bob@example.org \
    "127.0.0.1:$1" >/dev/null
  end=$(date +%s.%N)
  awk -v n="$messages" -v a="$start" -v b="$end" 'BEGIN { print n / (b - a) }'
}

sink_port=$(free_port)
user_opt=()
[ "$(id -u)" -ne 0 ] || user_opt=(-u nobody)
"${sink_cmd[@]}" "${user_opt[@]}" "127.0.0.1:$sink_port" 64 &
pids+=($!)
wait_for_port "$sink_port"

export QUILLPOST_STORE="$scratch/store"
"$queue_tool" create kvr_mailer >/dev/null
smtpd_port=$(free_port)
"$smtpd" --listen "127.0.0.1:$smtpd_port" --mail-log stderr 2>/dev/null >/dev/null &
pids+=($!)
wait_for_port "$smtpd_port"

best() { awk -v a="$1" -v b="$2" 'BEGIN { print (a > b ? a : b) }'; }
sink_rate=0
smtpd_rate=0
for _ in 1 2 3; do
  sink_rate=$(best "$sink_rate" "$(rate "$sink_port")")
  smtpd_rate=$(best "$smtpd_rate" "$(rate "$smtpd_port")")
done
single_rate=$(rate "$smtpd_port" 1)
queued=$("$queue_tool" list | awk '$1 == "kvr_mailer" { print $2 }')
printf 'smtp-source -s 4 -d, %s messages of 2000 octets, best of 3 rounds\n' "$messages"
printf '  smtp-sink        %8.0f messages/s\n' "$sink_rate"
printf '  quillpost-smtpd  %8.0f messages/s  (%.0f%% of the sink; %s on the queue, each on the disk before its 250)\n' \
  "$smtpd_rate" "$(awk -v a="$smtpd_rate" -v b="$sink_rate" 'BEGIN { print 100 * a / b }')" "${queued:-?}"
printf '  quillpost-smtpd  %8.0f messages/s  with one session (-s 1): a flush of the disk per message\n' \
  "$single_rate"
