#!/usr/bin/env bash
# Every option that a program's --help lists appears in its man page.
#   man_options_test.sh PROGRAM MAN_PAGE
set -euo pipefail
program="${1:?usage: man_options_test.sh PROGRAM MAN_PAGE}"
page="${2:?usage: man_options_test.sh PROGRAM MAN_PAGE}"
[ -s "$page" ] || { echo "FAIL: no man page $page" >&2; exit 1; }

options="$("$program" --help | grep -oE -- '(^|[^a-z0-9-])-(-[a-z][a-z0-9-]*|[a-zA-Z])\b' |
  grep -oE -- '-(-[a-z][a-z0-9-]*|[a-zA-Z])' | sort -u)"
[ -n "$options" ] || { echo "FAIL: $program --help lists no options" >&2; exit 1; }
# scdoc writes an option in bold: \fB--name\fR.
missing=()
while read -r option; do
  grep -qE -- "(^|[^a-z0-9-])${option}([^a-z0-9-]|$)" "$page" || missing+=("$option")
done <<<"$options"
if ((${#missing[@]})); then
  echo "FAIL: $(basename "$page") lacks ${missing[*]}" >&2
  exit 1
fi
echo "$(basename "$page"): all $(wc -l <<<"$options") options of $(basename "$program") --help"
