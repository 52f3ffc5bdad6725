#!/usr/bin/env bash
# make fuzz: built with clang in build-fuzz (FUZZ_BUILD), each target fuzzed FUZZ_SECONDS (60), new inputs in work/,
# crashes in artifacts/; FUZZ_TARGETS="tidy nas" picks; "run.sh replay" runs each once over its corpus. 1: a failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd) mode=${1:-fuzz} status=0 && build=${FUZZ_BUILD:-$top/build-fuzz}
[[ -f $build/build.ninja ]] || CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DQUENLO_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target fuzzers -j "${JOBS:-2}"
# Leak checking stays on; a crash aborts, so that libFuzzer keeps the input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
declare -A dict=([local_replies]=json [nas]=json [registration]=json [cookie_list]=cookie [agent_plist]=plist [autostart_entry]=desktop)
for t in ${FUZZ_TARGETS:-local_replies nas registration cookie_list agent_plist autostart_entry tidy}; do
  [[ $mode == replay ]] && set -- -runs=0 || set -- -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
    -timeout=25 -rss_limit_mb=2048 ${dict[$t]:+"-dict=$top/fuzz/dict/${dict[$t]}.dict"} "$build/work/$t"
  mkdir -p "$build/work/$t" "$build/artifacts" && log=$build/$mode-$t.log
  if "$build/fuzz/fuzz_$t" "$@" -artifact_prefix="$build/artifacts/$mode-$t-" "$top/fuzz/corpus/$t" >"$log" 2>&1
  then result=ok; else result="FAILED (log: $log)" status=1; tail -30 "$log"; fi
  echo "$mode $t: $result$(sed -n 's/^stat::\(number_of_executed_units\|new_units_added\): */, \1 /p' "$log" | tr -d '\n')"
done
exit $status
