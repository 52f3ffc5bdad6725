#!/usr/bin/env bash
# Runs every benchmark once, in sequence, and prints each figure with its goal and ratio.
# Usage: bench/run.sh BUILD_DIR   (a Release build with -DQUENLO_BENCH=ON; make bench does both)
# Knobs: BENCH_POLLS (300), BENCH_SECONDS (footprint window, 60), BENCH_RUNS (start-ups, 10),
# BENCH_SOAK_POLLS (20000).
set -euo pipefail
build=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)

qt=$(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null || echo unknown)
echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
echo "Qt $qt; $(curl --version | head -1 | cut -d' ' -f1-2); libcurl linked: $(ldd "$build/quenlo-menubar" | grep -o 'libcurl[^ ]*' | head -1)"
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC'); load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

status=0
run() { "$@" || { echo "  (failed: $*)"; status=1; }; echo; }
run "$build/bench/bench_poll" "${BENCH_POLLS:-300}"
run "$build/bench/bench_stall"
run "$build/bench/bench_startup"
run "$build/bench/bench_soak" "${BENCH_SOAK_POLLS:-20000}"
run python3 "$here/procbench.py" startup --menubar "$build/quenlo-menubar" --source "$top" --runs "${BENCH_RUNS:-10}"
run python3 "$here/procbench.py" footprint --menubar "$build/quenlo-menubar" --traymin "$build/bench/bench_traymin" \
  --source "$top" --seconds "${BENCH_SECONDS:-60}" --breakdown
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
