#!/usr/bin/env bash
# Runs each fuzz target for a bounded time from its seed corpus, in a scratch
# copy of the corpus, and prints executions per second and total executions.
#   tests/fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
for target in value_fuzz fixup_fuzz; do
  corpus="$build/fuzz-corpus/$target"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp "$here/corpus/${target%_fuzz}"/* "$corpus"/
  log="$build/$target.log"
  max_len=12000
  [ "$target" = value_fuzz ] && max_len=80
  echo "== $target for ${seconds}s"
  if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -print_final_stats=1 -close_fd_mask=2 \
      -artifact_prefix="$build/$target-" "$corpus" > "$log" 2>&1; then
    tail -40 "$log"
    echo "$target found a problem; the input is in $build/$target-*"
    exit 1
  fi
  grep -E '^Done [0-9]+ runs' "$log" || tail -3 "$log"
  execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  speed=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  echo "$target: ${execs:-?} executions, ${speed:-?} per second"
done
