#!/usr/bin/env bash
# Fuzzes every parser that reads outside input, one target after the other,
# starting from the seed corpora kept in the tree.
#
#   scripts/fuzz.sh [SECONDS [SEED]]
#
# SECONDS per target (default 20). SEED (default 1) makes a run repeatable,
# so a CI gate passes or fails the same way on every machine; give 0 for a
# fresh random seed on a long exploring run. A crash leaves its input in the
# work folder printed at the end: add it to the target's corpus together with
# the fix.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
seed="${2:-1}"

cmake --preset fuzz
cmake --build --preset fuzz

work="$(mktemp -d "${TMPDIR:-/tmp}/quillpost-fuzz-XXXXXX")"
# build folder, target, seed corpus, dictionary (- for none)
targets=(
  "common/document/fuzz request_reader_fuzz common/document/fuzz/corpus common/document/fuzz/request.dict"
  "common/document/fuzz request_round_trip_fuzz common/document/fuzz/corpus common/document/fuzz/request.dict"
  "smtp-service/mail/fuzz smtp_reply_fuzz smtp-service/mail/fuzz/corpus smtp-service/mail/fuzz/smtp.dict"
  "smtp-service/relay/fuzz config_file_fuzz smtp-service/relay/fuzz/corpus smtp-service/relay/fuzz/config.dict"
  "common/queue/fuzz path_name_fuzz common/queue/fuzz/path_name_corpus -"
  "common/queue/fuzz management_reply_fuzz common/queue/fuzz/management_reply_corpus -"
  "common/message/fuzz message_fuzz common/message/fuzz/corpus -"
  "tools/smtpd/fuzz smtp_command_fuzz tools/smtpd/fuzz/corpus tools/smtpd/fuzz/smtp_commands.dict"
)
for entry in "${targets[@]}"; do
  read -r folder target corpus dict <<<"$entry"
  echo "== fuzzing $target for $seconds s (seed $seed)"
  mkdir -p "$work/$target"
  cp "$corpus"/* "$work/$target"/
  dict_option=()
  if [ "$dict" != - ]; then
    dict_option=(-dict="$dict")
  fi
  if ! "build/fuzz/$folder/$target" \
    -max_total_time="$seconds" -seed="$seed" -rss_limit_mb=2048 \
    -artifact_prefix="$work/$target-" "${dict_option[@]}" "$work/$target" </dev/null; then
    echo "$target failed; its input is kept in $work" >&2
    exit 1
  fi
done
rm -rf "$work"
