#!/usr/bin/env bash
# Starts Postfix's smtp-sink on a free loopback port and runs smtp_bench
# against it: the rates beside smtp-source's, then the peak memory of one
# mail with a 25 MB attachment.
#   bench/smtp/run_smtp_bench.sh [build-dir] [mails]
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
build="${1:-build/release}"
mails="${2:-200}"
bench="$build/bench/smtp/smtp_bench"
[ -x "$bench" ] || { echo "run_smtp_bench: $bench not built" >&2; exit 1; }

if ! command -v smtp-sink >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y postfix
fi

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
user_opt=()
[ "$(id -u)" -ne 0 ] || user_opt=(-u nobody)
smtp-sink "${user_opt[@]}" "127.0.0.1:$port" 64 &
sink=$!
trap 'kill $sink 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
"$bench" --port "$port" --mails "$mails"
"$bench" --port "$port" --peak-attachment 25
