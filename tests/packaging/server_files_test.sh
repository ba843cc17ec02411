#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks the server files:
#  - systemd-analyze verify passes the system unit and the user unit;
#  - systemd-sysusers and systemd-tmpfiles, applied to a scratch root, make the
#    user quillpost, the shared store and /etc/quillpost with the right owners
#    and modes;
#  - on that store the relay (as quillpost) starts and an application user in
#    the group quillpost can Send while one outside it cannot, whatever the
#    umask; every file the store made stays group-writable;
#  - an application user with no store of his own sends to /var/spool/quillpost
#    (in a private mount namespace, so the machine's /var/spool is untouched).
# The last three need root (tests run as root); without it they are left out.
# Exits 77 (skipped) only when systemd-analyze cannot run at all here, as in a
# container without a usable systemd; it says so.
#   server_files_test.sh BUILD_DIR
set -euo pipefail
build="${1:?usage: server_files_test.sh BUILD_DIR}"
scratch="$(mktemp -d)"
relay_pid=""
cleanup() {
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
chmod 755 "$scratch"
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$scratch/usr"
cmake --install "$build" --prefix "$prefix" >/dev/null
unit="$prefix/lib/systemd/system/quillpost-smtp.service"
user_unit="$prefix/lib/systemd/user/quillpost-smtp.service"
[ -s "$unit" ] || fail "no system unit in $unit"
grep -q '@QUILLPOST' "$unit" && fail "unsubstituted placeholder left in the system unit"
for line in 'Type=notify' 'User=quillpost' 'RestartPreventExitStatus=2' 'ProtectSystem=strict' \
  'ProtectHome=read-only' 'ReadWritePaths=/var/spool/quillpost' \
  "ExecStart=$prefix/bin/quillpost-smtp --headless --exit-on-startup-failure --config /etc/quillpost/smtp.conf"; do
  grep -qxF "$line" "$unit" || fail "system unit lacks '$line'"
done

echo "== systemd-analyze verify"
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed"
  exit 77
fi
export XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
printf '[Service]\nExecStart=/bin/true\n' >"$scratch/probe.service"
if ! systemd-analyze verify "$scratch/probe.service" >/dev/null 2>&1; then
  echo "SKIP: systemd-analyze cannot load units in this environment"
  exit 77
fi
for scope in system user; do
  file="$unit"
  [ "$scope" = system ] || file="$user_unit"
  # verify also looks up the man pages that Documentation= names.
  output="$(MANPATH="$prefix/share/man" systemd-analyze --"$scope" verify "$file" 2>&1)" ||
    fail "systemd-analyze --$scope verify $file: $output"
  # Any complaint about our unit counts, even when verify's exit code is 0.
  if grep -F 'quillpost-smtp.service' <<<"$output"; then
    fail "systemd-analyze --$scope verify complains about the unit"
  fi
  echo "systemd-analyze --$scope verify $file: passed${output:+ (other units: $output)}"
done

if [ "$(id -u)" -ne 0 ]; then
  echo "not checked: the service user and the shared store (this needs root, to act as other users)"
  exit 0
fi
echo "== sysusers.d and tmpfiles.d on a scratch root"
root="$scratch/root"
mkdir -p "$root/etc"
systemd-sysusers --root="$root" "$prefix/lib/sysusers.d/quillpost.conf"
uid="$(awk -F: '$1 == "quillpost" { print $3 }' "$root/etc/passwd")"
gid="$(awk -F: '$1 == "quillpost" { print $3 }' "$root/etc/group")"
[ -n "$uid" ] && [ -n "$gid" ] || fail "sysusers made no user and group quillpost"
# tmpfiles.d reads the example config inside the root too, where a package puts it.
mkdir -p "$root$prefix/share/quillpost"
cp "$prefix/share/quillpost/smtp.conf" "$root$prefix/share/quillpost/"
systemd-tmpfiles --root="$root" --create "$prefix/lib/tmpfiles.d/quillpost.conf"
store="$root/var/spool/quillpost"
expect_mode() { # PATH "MODE UID GID"
  local got
  got="$(stat -c '%a %u %g' "$1")"
  [ "$got" = "$2" ] || fail "$1 is '$got', not '$2'"
}
expect_mode "$store" "2770 $uid $gid"
expect_mode "$store/queues.db" "660 $uid $gid"
expect_mode "$root/etc/quillpost/smtp-password" "600 $uid $gid"
expect_mode "$root/etc/quillpost/smtp.conf" "600 $uid $gid"
cmp -s "$root/etc/quillpost/smtp.conf" "$prefix/share/quillpost/smtp.conf" ||
  fail "/etc/quillpost/smtp.conf is not the installed example"

echo "== the shared store"
# Runs COMMAND as another user, with umask 077 and a bare environment, in
# place of the calling shell: call it in a subshell.
as_user() { # UID GID GROUPS COMMAND...
  local user="$1" group="$2" groups=(--clear-groups)
  [ -z "$3" ] || groups=(--groups="$3")
  shift 3
  exec setpriv --reuid="$user" --regid="$group" "${groups[@]}" \
    env -i PATH=/usr/bin:/bin HOME="$scratch/home-$user" QUILLPOST_STORE="${QUILLPOST_STORE:-}" \
    bash -c 'umask 077; exec "$@"' as_user "$@"
}
log="$scratch/relay-log"
mkdir -m 777 "$log"
(QUILLPOST_STORE="$store" as_user "$uid" "$gid" "" "$prefix/bin/quillpost-smtp" --headless \
  --exit-on-startup-failure --log-file "$log/kvrsmtp.log" --smtp-port 1 >/dev/null 2>"$scratch/relay.err") &
relay_pid=$!
for _ in $(seq 100); do
  grep -q 'Server Initialised & Listening' "$log/kvrsmtp.log" 2>/dev/null && break
  kill -0 "$relay_pid" 2>/dev/null || fail "the relay ended: $(cat "$scratch/relay.err")"
  sleep 0.1
done
grep -q 'Server Initialised & Listening' "$log/kvrsmtp.log" || fail "the relay did not start"
kill "$relay_pid"
wait "$relay_pid" || true
relay_pid=""

submit() { # UID GROUPS [--queue PATH]
  local user="$1" groups="$2"
  shift 2
  (as_user "$user" "$user" "$groups" "$prefix/bin/quillpost-submit" --from app@example.org \
    --to ann@example.org --subject "Shared" --body "From user $user" "$@")
}
answer="$(submit 4242 "$gid" --queue "file://$store/kvr_mailer")" ||
  fail "a member of the group cannot Send: $answer"
if answer="$(submit 4343 "" --queue "file://$store/kvr_mailer" 2>&1)"; then
  fail "a user outside the group could Send: $answer"
fi
waiting() {
  (QUILLPOST_STORE="$store" as_user "$uid" "$gid" "" "$prefix/bin/quillpost-queue" peek kvr_mailer) |
    grep -c 'Quillpost-Inbound' || true
}
[ "$(waiting)" = 1 ] || fail "the relay's user does not see the request"
bad="$(find "$store" \( -type f ! -perm -0660 \) -o \( -type d ! -perm -2770 \) -o ! -group "$gid")"
[ -z "$bad" ] || fail "store files that the group cannot use: $bad"

echo "== an application user without a store of his own finds /var/spool/quillpost"
if unshare --mount true 2>/dev/null; then
  unshare --mount bash -c 'mount --bind "$1" /var/spool && shift && "$@"' bind "$root/var/spool" \
    bash -c "$(declare -f as_user submit); scratch='$scratch' prefix='$prefix'; submit 4242 $gid" ||
    fail "the default store of a group member is not the system store"
  [ "$(waiting)" = 2 ] || fail "the request sent to the default store is not in /var/spool/quillpost"
else
  echo "not checked: no private mount namespace here"
fi
echo "server files installed under $prefix and checked"
