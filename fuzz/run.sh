#!/usr/bin/env bash
# make fuzz: builds the targets with clang and fuzzes each for FUZZ_SECONDS (default 60), one
# after the other, on one core. New inputs go to build-fuzz/work/TARGET (the committed corpus
# under fuzz/corpus stays small and hand-made); a crash goes to build-fuzz/artifacts/.
# FUZZ_TARGETS="tidy nas" picks targets. Exit status 1 when any target found a crash.
set -euo pipefail
source "$(dirname "$0")/common.sh"
fuzz_build_targets
seconds=${FUZZ_SECONDS:-60}
read -r -a chosen <<<"${FUZZ_TARGETS:-${fuzz_targets[*]}}"
mkdir -p "$fuzz_build/artifacts"
status=0
for t in "${chosen[@]}"; do
  work=$fuzz_build/work/$t
  log=$fuzz_build/fuzz-$t.log
  mkdir -p "$work"
  # shellcheck disable=SC2046 # the dictionary option is one word or none
  if "$fuzz_build/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=25 -rss_limit_mb=2048 \
    -artifact_prefix="$fuzz_build/artifacts/$t-" $(fuzz_dict "$t") "$work" "$fuzz_top/fuzz/corpus/$t" >"$log" 2>&1; then
    result=ok
  else
    result="CRASH (log: $log)"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz $t: ${seconds}s, ${runs:-?} executions, $(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1) new inputs, $result"
done
exit $status
