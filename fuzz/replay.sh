#!/usr/bin/env bash
# Replays a recorded finding (fuzz/findings/*.txt) or a raw input saved by a fuzz run, printing the
# case in words before running it.
#
#   fuzz/replay.sh BUILD fuzz/findings/Fog-amount.txt
#   fuzz/replay.sh BUILD BUILD/fuzz-findings/Fog-crash-...   (the plug-in from the file name)
set -u
build=${1:?usage: replay.sh BUILD FINDING}
finding=${2:?usage: replay.sh BUILD FINDING}
input=$(mktemp)
trap 'rm -f "$input"' EXIT
if [[ $finding == *.txt ]]; then
  plugin=$(sed -n 's/^plug-in: *//p' "$finding" | head -1)
  sed -n 's/^input (hex): *//p' "$finding" | xxd -r -p >"$input"
else
  plugin=$(basename "$finding" | sed 's/-\(crash\|timeout\|oom\|leak\|slow-unit\)-.*//')
  cp "$finding" "$input"
fi
program=$build/bin/plugin_fuzzer
[ "$plugin" = png ] && program=$build/bin/png_fuzzer
OPFUZZ_SKIP= OPFUZZ_PLUGINS=$plugin OPFUZZ_DESCRIBE=1 "$program" -timeout=30 "$input"
