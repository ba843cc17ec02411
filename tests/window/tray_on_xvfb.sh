#!/usr/bin/env bash
# Runs the relay with a window on a virtual X server that has a notification
# area, and works its tray icon with the mouse:
#   - the icon is there and the window is hidden after start-up;
#   - a single left click and a right click leave the window hidden;
#   - a left double-click shows it;
#   - a second instance adds no icon of its own;
#   - Quit logs "Server Terminated" and ends the process;
#   - with a display that cannot be reached, the relay runs without a window.
# Saves a screenshot of the screen with the window shown as ARTEFACT_DIR/tray-window.png.
#   tray_on_xvfb.sh RELAY_PROGRAM ARTEFACT_DIR
# Exits 77 (skipped) only when one of the X tools is not installed.
set -uo pipefail

relay="${1:?usage: tray_on_xvfb.sh RELAY_PROGRAM ARTEFACT_DIR}"
artefacts="${2:?usage: tray_on_xvfb.sh RELAY_PROGRAM ARTEFACT_DIR}"
for tool in Xvfb trayer xdotool import; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (packages xvfb, trayer, xdotool, imagemagick)"
    exit 77
  fi
done

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.log "$work"/*.err; do
    [ -s "$f" ] && { echo "--- $f" >&2; tail -20 "$f" >&2; }
  done
  exit 1
}
# wait_for SECONDS COMMAND...: polls COMMAND until it succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# A free display: Xvfb picks the number and reports it once it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 640x360x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
pids+=($!)
read -r -t 10 display <"$work/display" || fail "Xvfb did not start"
export DISPLAY=":$display"

# Everything the relay reads or writes stays in the scratch folder; no session
# bus, so the icon goes through the X notification area.
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
export QUILLPOST_STORE="$work/store"
mkdir -m 0700 "$XDG_RUNTIME_DIR"

trayer --edge top --align right --widthtype pixel --width 96 --height 32 \
  --transparent false --tint 0x30405a >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 10 xdotool search --onlyvisible --class trayer || fail "trayer did not start"

log="$work/kvrsmtp.log"
started_pid=
start_relay() { # name; sets started_pid
  "$relay" --log-file "$log" >"$work/$1.log" 2>"$work/$1.err" &
  started_pid=$!
  pids+=("$started_pid")
}
started() { [ "$(grep -c ' - Server Initialised & Listening - ' "$log" 2>/dev/null)" = "$1" ]; }
# A child that has ended stays a zombie until it is waited for.
ended() { [ ! -e "/proc/$1" ] || [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" = Z ]; }
window_shown() { xdotool search --onlyvisible --name '^KVR Quillpost Service$'; }
# The visible windows of a process that are icon-sized.
icons_of() {
  local win w h
  for win in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
    eval "$(xdotool getwindowgeometry --shell "$win")"
    w=$WIDTH h=$HEIGHT
    ((w <= 64 && h <= 64)) && echo "$win"
  done
}
have_icon() { [ -n "$(icons_of "$1")" ]; }

# A display that cannot be reached: the relay runs without a window.
DISPLAY=:65000 start_relay unreachable
wait_for 10 started 1 || fail "the relay did not start when the display was unreachable"
grep -q 'cannot open the display :65000; running without a window' "$work/unreachable.err" ||
  fail "an unreachable display was not reported"
kill -TERM "$started_pid"
wait "$started_pid"
: >"$log"

start_relay first
first=$started_pid
wait_for 10 started 1 || fail "the relay did not start"
wait_for 10 have_icon "$first" || fail "no tray icon after start-up"
icon=$(icons_of "$first" | head -n1)
window_shown && fail "the window shows after start-up"

# The pointer comes from elsewhere onto the icon, as a user's would.
onto_icon() {
  xdotool mousemove 10 300
  sleep 0.1
  xdotool mousemove --window "$icon" 8 8
  sleep 0.1
}
onto_icon
xdotool click 1
sleep 0.8
window_shown && fail "a single click showed the window"
onto_icon
xdotool click 3
sleep 0.8
window_shown && fail "a right click showed the window"
onto_icon
xdotool click --repeat 2 --delay 80 1
wait_for 10 window_shown || fail "a double-click did not show the window"
sleep 0.3
mkdir -p "$artefacts"
import -window root "$artefacts/tray-window.png" || fail "no screenshot"

start_relay second
second=$started_pid
wait_for 10 started 2 || fail "the second relay did not start"
sleep 1
have_icon "$second" && fail "the second instance added a tray icon"
have_icon "$first" || fail "the first instance lost its icon"

# Quit, on the window that the double-click brought back.
window=$(window_shown | head -n1)
xdotool mousemove --window "$window" 312 232 click 1
wait_for 10 ended "$first" || fail "Quit did not end the relay"
wait "$first"
status=$?
[ "$status" -eq 0 ] || fail "the relay ended with status $status"
grep -q ' - Server Terminated - ' "$log" || fail "Quit did not log Server Terminated"

kill -TERM "$second"
wait "$second"
[ "$(grep -c ' - Server Terminated - ' "$log")" -eq 2 ] || fail "the second relay did not log its end"
echo "tray icon, double-click, second instance and Quit behave; screenshot in $artefacts"
