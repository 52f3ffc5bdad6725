# Sourced by replay.sh and run.sh: the clang build of the fuzz targets, and each target's
# dictionary. FUZZ_BUILD (default build-fuzz) is kept between runs, so only changes rebuild.
fuzz_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
fuzz_build=${FUZZ_BUILD:-$fuzz_top/build-fuzz}
fuzz_targets=(local_replies nas registration cookie_list agent_plist autostart_entry tidy)

fuzz_dict() {
  case $1 in
    local_replies | nas | registration) echo "-dict=$fuzz_top/fuzz/dict/json.dict" ;;
    cookie_list) echo "-dict=$fuzz_top/fuzz/dict/cookie.dict" ;;
    agent_plist) echo "-dict=$fuzz_top/fuzz/dict/plist.dict" ;;
    autostart_entry) echo "-dict=$fuzz_top/fuzz/dict/desktop.dict" ;;
  esac
}

fuzz_build_targets() {
  command -v clang++ >/dev/null || { echo "fuzz: clang++ is not installed (apt-get install clang libclang-rt-14-dev)" >&2; return 1; }
  if [[ ! -f $fuzz_build/build.ninja ]]; then
    CC=clang CXX=clang++ cmake -S "$fuzz_top" -B "$fuzz_build" -G Ninja -DQUENLO_FUZZ=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
  fi
  cmake --build "$fuzz_build" --target fuzzers -j "${JOBS:-2}"
}

# Leak checking stays on; a crash aborts so that libFuzzer keeps the input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
