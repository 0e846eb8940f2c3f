#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build: the plug-in target once per built plug-in, then the texture
# loader target, each for FUZZ_SECONDS, at most FUZZ_JOBS at a time. Each target's growing corpus
# starts from the committed seeds and is kept in BUILD/fuzz-corpus/TARGET; whatever a target finds
# (crash-*, timeout-*, oom-* inputs) lands in BUILD/fuzz-findings/ with its log beside it. A target
# stopped early by a finding is started again for the time it has left (at most FUZZ_RESTARTS times).
#
#   fuzz/run_fuzzers.sh BUILD [TARGET...]     TARGET: a plug-in name or "png"; default all of them
#   FUZZ_SECONDS (60)  FUZZ_JOBS (1)  FUZZ_RESTARTS (4)  OPFUZZ_SKIP (known)  FUZZ_TIMEOUT (10 s a run)
set -u
build=${1:?usage: run_fuzzers.sh BUILD [TARGET...]}
shift
here=$(cd "$(dirname "$0")" && pwd)
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-1}
restarts=${FUZZ_RESTARTS:-4}
export OPFUZZ_SKIP=${OPFUZZ_SKIP-known}
timeout=${FUZZ_TIMEOUT:-10}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for so in "$build"/plugins/*.so; do targets+=("$(basename "$so" .so)"); done
  targets+=(png)
fi
mkdir -p "$build/fuzz-findings" "$build/fuzz-logs"

run_target() {
  local target=$1 program seeds corpus log start left status tries=0 total=0
  if [ "$target" = png ]; then
    program=$build/bin/png_fuzzer; seeds=$here/corpus/png
  else
    program=$build/bin/plugin_fuzzer; seeds=$here/corpus/plugins
  fi
  corpus=$build/fuzz-corpus/$target
  log=$build/fuzz-logs/$target.log
  mkdir -p "$corpus"
  : >"$log"
  start=$(date +%s)
  left=$seconds
  while :; do
    OPFUZZ_PLUGINS=$target "$program" -max_total_time="$left" -timeout="$timeout" -print_final_stats=1 \
      -artifact_prefix="$build/fuzz-findings/$target-" "$corpus" "$seeds" >>"$log" 2>&1
    status=$?
    total=$((total + $(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)))
    left=$((seconds - ($(date +%s) - start)))
    [ $status -eq 0 ] && break
    echo "$target: stopped by a finding (see $log)"
    tries=$((tries + 1))
    [ $tries -gt "$restarts" ] || [ $left -le 5 ] && break
  done
  echo "$target: $total executions in $(($(date +%s) - start)) s, corpus $(ls "$corpus" | wc -l) inputs, $tries finding(s)" \
    | tee "$build/fuzz-logs/$target.summary"
}

running=0
for target in "${targets[@]}"; do
  run_target "$target" &
  running=$((running + 1))
  if [ $running -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
done
wait

found=$(ls "$build/fuzz-findings" | wc -l)
echo "fuzzing done: $found finding input(s) in $build/fuzz-findings"
[ "$found" -eq 0 ]
