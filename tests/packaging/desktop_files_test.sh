#!/usr/bin/env bash
# Installs the desktop files of a build into a scratch prefix and checks that
# the menu entry, the user unit and the icons arrive, pointing at the program,
# and that a prefix in a home folder puts the user unit where the user
# manager looks.
#   desktop_files_test.sh BUILD_DIR
set -euo pipefail
build="${1:?usage: desktop_files_test.sh BUILD_DIR}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/usr"

cmake --install "$build" --component desktop --prefix "$prefix" >/dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }
entry="$prefix/share/applications/quillpost-smtp.desktop"
unit="$prefix/lib/systemd/user/quillpost-smtp.service"
for f in "$entry" "$unit" \
  "$prefix/share/icons/hicolor/16x16/apps/quillpost.png" \
  "$prefix/share/icons/hicolor/32x32/apps/quillpost.png" \
  "$prefix/share/icons/hicolor/scalable/apps/quillpost.svg"; do
  [ -s "$f" ] || fail "missing $f"
done
grep -q '@' "$entry" "$unit" && fail "unsubstituted placeholder left in the installed files"
grep -qx "Exec=$prefix/bin/quillpost-smtp" "$entry" || fail "menu entry does not run the program"
grep -qx 'Icon=quillpost' "$entry" || fail "menu entry does not name the icon"
grep -qx "ExecStart=$prefix/bin/quillpost-smtp --headless --exit-on-startup-failure" "$unit" ||
  fail "user unit does not run it headless, ending on a failed start-up"
grep -qx 'RestartPreventExitStatus=2' "$unit" || fail "user unit restarts on bad settings"
grep -qx 'WantedBy=default.target' "$unit" || fail "user unit cannot be enabled"

# The window module, where the installed program looks for it: asked for a
# window on a display that cannot be reached, the program loads the module,
# which reports the display.
module=$(find "$prefix" -name quillpost-smtp-window.so)
[ -n "$module" ] || fail "the window module was not installed"
cmake --install "$build" --prefix "$prefix" >/dev/null
work="$prefix/scratch"
mkdir -p "$work"
XDG_RUNTIME_DIR="$work" XDG_STATE_HOME="$work" XDG_CONFIG_HOME="$work" QUILLPOST_STORE="$work/store" \
  DISPLAY=:65000 WAYLAND_DISPLAY= timeout -s TERM 3 "$prefix/bin/quillpost-smtp" \
  --log-file "$work/log" >/dev/null 2>"$work/err" || true
grep -q 'cannot open the display :65000' "$work/err" ||
  fail "the installed program did not load its window module: $(cat "$work/err")"
mkdir -p "$scratch/home"
HOME="$scratch/home" cmake --install "$build" --component desktop --prefix "$scratch/home/.local" >/dev/null
[ -s "$scratch/home/.local/share/systemd/user/quillpost-smtp.service" ] ||
  fail "a home prefix does not put the user unit in share/systemd/user"
echo "desktop files and the window module installed under $prefix"
