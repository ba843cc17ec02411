#!/usr/bin/env bash
# Starts quillpost-smtp --headless, lets it idle, and checks from /proc that
# it maps no Qt, X11, EGL/GL or font library (nor the window module) and that
# it stays under 15 MB resident (not checked under the sanitizers, whose
# shadow memory alone is larger). Then runs a copy of the program that has no
# window module beside it on a named display: it must say so and run without
# a window.
#   headless_footprint.sh RELAY_PROGRAM [SANITIZE]
set -uo pipefail

relay="${1:?usage: headless_footprint.sh RELAY_PROGRAM [SANITIZE]}"
sanitize="${2:-OFF}"
limit_kb=$((15 * 1024))

work="$(mktemp -d)"
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.err; do [ -s "$f" ] && { echo "--- $f" >&2; tail -20 "$f" >&2; }; done
  exit 1
}
export XDG_RUNTIME_DIR="$work" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
export QUILLPOST_STORE="$work/store"
log="$work/kvrsmtp.log"
started() { grep -q ' - Server Initialised & Listening - ' "$log" 2>/dev/null; }
start() { # name program [options]; sets pid and waits for start-up
  local name=$1
  shift
  "$@" --log-file "$log" >"$work/$name.out" 2>"$work/$name.err" &
  pid=$!
  for _ in $(seq 200); do started && return 0; sleep 0.05; done
  fail "$name did not start"
}
stop() {
  kill -TERM "$pid"
  wait "$pid"
  pid=
  : >"$log"
}

start headless env -u DISPLAY -u WAYLAND_DISPLAY "$relay" --headless
sleep 1 # idle
objects=$(awk '$6 ~ /\.so/ { print $6 }' "/proc/$pid/maps" | sort -u)
desktop=$(grep -E '/(libQt6|libX[a-z0-9]*\.so|libxcb|libxkbcommon|libEGL|libGL|libOpenGL|libfontconfig|libfreetype|libharfbuzz)|quillpost-smtp-window' <<<"$objects")
rss_kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
anon_kb=$(awk '/^RssAnon:/ { print $2 }' "/proc/$pid/status")
echo "headless idle relay: VmRSS $rss_kb kB (RssAnon $anon_kb kB), $(wc -l <<<"$objects") shared objects mapped"
[ -z "$desktop" ] || fail "the headless relay maps desktop libraries: $(echo $desktop)"
if [ "$sanitize" != ON ] && ((rss_kb >= limit_kb)); then
  fail "the headless relay holds $rss_kb kB, over $limit_kb kB"
fi
stop

# A program without its window module, asked for a window.
mkdir "$work/bin"
cp "$relay" "$work/bin/"
start no-module env -u WAYLAND_DISPLAY DISPLAY=:65000 "$work/bin/$(basename "$relay")"
grep -q 'cannot load the window module .*quillpost-smtp-window.so.*; running without a window' \
  "$work/no-module.err" || fail "a missing window module was not reported"
stop
echo "a missing window module is reported and the relay runs without a window"
