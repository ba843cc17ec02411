#!/usr/bin/env bash
# Installs what is missing, builds the programs (preset run: no tests; they are in
# build/run/bin/) and runs the relay service quillpost-smtp in the foreground.
# Arguments go to quillpost-smtp; without them it runs on its built-in settings:
# SMTP server localhost:25, queues in the default store ($QUILLPOST_STORE, else
# ~/.local/share/quillpost), log file ~/.local/state/quillpost/kvrsmtp.log.
# Without a display it runs headless, says so in one line on standard error and
# writes its status lines to standard output. Stop it with Ctrl-C.
#   scripts/run-relay.sh [quillpost-smtp options]
set -euo pipefail
cd "$(dirname "$0")/.."

relay=build/run/bin/quillpost-smtp
case "${1:-}" in
  -h|--help)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    if [ -x "$relay" ]; then
      echo
      "$relay" --help
    fi
    exit 0 ;;
esac

scripts/install-deps.sh
cmake --preset run >/dev/null
# The relay, the tools that go with it (submitting, sendmail, looking at queues),
# the modules and the man pages: all that `cmake --install build/run` installs.
cmake --build --preset run

exec "$relay" "$@"
