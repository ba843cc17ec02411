#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks quillpost-smtpd's service
# files: the units are filled in and pass systemd-analyze verify; on a scratch
# root sysusers makes the user quillpost-smtpd a member of quillpost; and the
# installed program serves on a socket passed the way systemd passes it.
# Exits 77 (skipped) when systemd-analyze cannot run here, and says so.
#   smtpd_files_test.sh BUILD_DIR
set -euo pipefail
build="${1:?usage: smtpd_files_test.sh BUILD_DIR}"
scratch="$(mktemp -d)"
listener_pid=""
cleanup() {
  [ -z "$listener_pid" ] || kill "$listener_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$scratch/usr"
cmake --install "$build" --prefix "$prefix" >/dev/null
units="$prefix/lib/systemd/system"
for line in 'User=quillpost-smtpd' 'Group=quillpost' 'ReadWritePaths=/var/spool/quillpost' \
  'Environment=QUILLPOST_STORE=/var/spool/quillpost' "ExecStart=$prefix/bin/quillpost-smtpd"; do
  grep -qxF "$line" "$units/quillpost-smtpd.service" || fail "the service lacks '$line'"
done
grep -qxF 'ListenStream=127.0.0.1:25' "$units/quillpost-smtpd.socket" || fail "the socket is not on 127.0.0.1:25"

echo "== the socket passed as systemd passes it"
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
systemd-socket-activate -l "127.0.0.1:$port" env QUILLPOST_STORE="$scratch/store" \
  "$prefix/bin/quillpost-smtpd" --server-name units.test >"$scratch/out" 2>&1 &
listener_pid=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
greeting=""
exec 3<>"/dev/tcp/127.0.0.1/$port"
read -r -t 10 greeting <&3 || true
printf 'QUIT\r\n' >&3
exec 3<&-
[[ "$greeting" == "220 units.test ESMTP"* ]] || fail "no greeting on the passed socket: '$greeting' $(cat "$scratch/out")"
grep -q "listening on 127.0.0.1:$port" "$scratch/out" || fail "not the passed socket: $(cat "$scratch/out")"

echo "== systemd-analyze verify"
export XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
printf '[Service]\nExecStart=/bin/true\n' >"$scratch/probe.service"
if ! command -v systemd-analyze >/dev/null ||
  ! systemd-analyze verify "$scratch/probe.service" >/dev/null 2>&1; then
  echo "SKIP: systemd-analyze cannot load units in this environment"
  exit 77
fi
output="$(MANPATH="$prefix/share/man" systemd-analyze verify "$units/quillpost-smtpd.socket" \
  "$units/quillpost-smtpd.service" 2>&1)" || fail "systemd-analyze verify: $output"
if grep -F 'quillpost-smtpd.' <<<"$output"; then
  fail "systemd-analyze verify complains about the units"
fi

if [ "$(id -u)" -eq 0 ]; then
  echo "== sysusers.d on a scratch root"
  root="$scratch/root"
  mkdir -p "$root/etc"
  systemd-sysusers --root="$root" "$prefix/lib/sysusers.d/quillpost.conf" \
    "$prefix/lib/sysusers.d/quillpost-smtpd.conf"
  grep -qE '^quillpost:[^:]*:[0-9]+:(.*,)?quillpost-smtpd(,|$)' "$root/etc/group" ||
    fail "quillpost-smtpd is not in the group quillpost: $(grep quillpost "$root/etc/group")"
fi
echo "passed"
