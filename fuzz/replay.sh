#!/usr/bin/env bash
# Replays every fuzz target over its committed corpus once (-runs=0): the cheap check for CI.
# Builds the targets with clang first (in build-fuzz, reused between runs). Exit status 1 when
# any input crashes a target or breaks a property.
set -euo pipefail
source "$(dirname "$0")/common.sh"
fuzz_build_targets
status=0
for t in "${fuzz_targets[@]}"; do
  log=$fuzz_build/replay-$t.log
  mkdir -p "$fuzz_build/artifacts"
  if "$fuzz_build/fuzz/fuzz_$t" -runs=0 -artifact_prefix="$fuzz_build/artifacts/replay-$t-" "$fuzz_top/fuzz/corpus/$t" \
    >"$log" 2>&1; then
    echo "replay $t: $(grep -c . <(ls "$fuzz_top/fuzz/corpus/$t")) inputs, ok"
  else
    echo "replay $t: FAILED (log: $log)"
    tail -30 "$log"
    status=1
  fi
done
exit $status
