#!/usr/bin/env bash
# The relay's peak memory while it sends large whole messages over parallel
# sessions: COUNT messages of OCTETS each (20 of 25 MiB by default) are
# queued with quillpost-sendmail into a fresh store, then one relay
# (max_parallel_deliveries 20) sends them all to Postfix's smtp-sink. Prints
# the relay's peak resident memory (VmHWM) once started and once done, the
# most sessions the sink saw at once, and the time taken. smtp-sink comes as
# in run_relay_bench.sh.
#   bench/relay/run_large_message_bench.sh [build-dir] [count] [octets]
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
build="${1:-build/release}"
count="${2:-20}"
octets="${3:-26214400}"
bin="$build/bin"
for program in quillpost-smtp quillpost-sendmail quillpost-queue; do
  [ -x "$bin/$program" ] || { echo "run_large_message_bench: $bin/$program not built" >&2; exit 1; }
done
sink=/usr/sbin/smtp-sink
if [ ! -x "$sink" ]; then
  # shellcheck source=bench/postfix_tools.sh
  . "$(dirname "$0")/../postfix_tools.sh"
  tools="$(unpacked_postfix run_large_message_bench)"
  sink="$tools/usr/sbin/smtp-sink"
  export LD_LIBRARY_PATH="$tools/usr/lib/postfix${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
fi

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export QUILLPOST_STORE="$work/store" QUILLPOST_SENDMAIL_QUEUE=kvr_mailer
"$bin/quillpost-queue" create kvr_mailer kvr_mailer_rA kvr_mailer_rB kvr_mailer_dead >/dev/null

# One message of octets: a header, then lines of 76 characters.
python3 - "$octets" >"$work/message.eml" <<'PY'
import sys
size = int(sys.argv[1])
out = [b"From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: large\r\n"
       b"Date: Tue, 8 Dec 2026 09:00:00 +0000\r\nMessage-ID: <large@example.org>\r\n\r\n"]
length = len(out[0])
line = 0
while length + 78 <= size:
    text = (b"%08d" % line + b"x" * 68)[:76] + b"\r\n"
    out.append(text)
    length += len(text)
    line += 1
out.append(b"y" * max(0, size - length - 2) + b"\r\n")
sys.stdout.buffer.write(b"".join(out)[:size])
PY
start=$(date +%s.%N)
for _ in $(seq "$count"); do
  "$bin/quillpost-sendmail" -i bob@example.org <"$work/message.eml"
done
queued=$(date +%s.%N)

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user=()
[ "$(id -u)" -eq 0 ] && user=(-u nobody)
"$sink" "${user[@]}" -c 127.0.0.1:"$port" 256 >"$work/sink.out" 2>&1 &
pids+=($!)
sleep 0.5
"$bin/quillpost-smtp" --headless --smtp-server 127.0.0.1 --smtp-port "$port" \
  --smtp-security none --max-parallel-deliveries 20 --log-file "$work/relay.log" \
  >"$work/relay.out" 2>&1 &
relay=$!
pids+=("$relay")
sleep 0.2
started_hwm=$(awk '/VmHWM/ {print $2}' "/proc/$relay/status")
sent=$(date +%s.%N)
until "$bin/quillpost-queue" list | awk '$1 == "kvr_mailer" && $2 == 0 && $3 == 0 {found=1} END {exit !found}'; do
  sleep 0.2
  kill -0 "$relay" 2>/dev/null || { echo "the relay ended:" >&2; cat "$work/relay.out" >&2; exit 1; }
done
done_at=$(date +%s.%N)
hwm=$(awk '/VmHWM/ {print $2}' "/proc/$relay/status")
dead=$("$bin/quillpost-queue" list | awk '$1 == "kvr_mailer_dead" {print $2}')
retried=$("$bin/quillpost-queue" list | awk '$1 ~ /^kvr_mailer_r/ {n += $2 + $3} END {print n + 0}')
printf 'messages: %d of %d octets; queued in %.1f s, sent in %.1f s (%d dead, %d to retry)\n' \
  "$count" "$octets" "$(echo "$queued - $start" | bc)" "$(echo "$done_at - $sent" | bc)" \
  "${dead:-0}" "$retried"
printf 'relay peak resident memory: %.1f MiB once started, %.1f MiB after sending\n' \
  "$(echo "$started_hwm / 1024" | bc -l)" "$(echo "$hwm / 1024" | bc -l)"
