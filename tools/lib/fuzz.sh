# The fuzz targets under fuzz/, sourced by tools/test from the repository root: built with
# clang (the only compiler that ships libFuzzer), then each run for a bounded time from its
# checked-in seeds. A long run is the same command with -runs=N instead of a time.

FUZZ_BUILD=$PWD/build/fuzz

# Target and the longest input worth trying: past a whole packet or frame, longer inputs
# only slow the run down.
FUZZ_TARGETS=(
  "status_packet 300"
  "instruction_packet 1024"
  "mit_state 512"
  "register_reply 512"
  "can_frame 128"
  "format 32"
)

# Debian 12's clang 14 and 16 cannot compile C++23 against libstdc++ 12; clang 19 can.
fuzz_packages() {
  echo clang-19 libclang-rt-19-dev
}

build_fuzz_targets() {
  step "building the fuzz targets in build/fuzz (clang 19, ASan and UBSan)"
  cmake -S fuzz -B "$FUZZ_BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++-19 >/dev/null
  local entry targets=()
  for entry in "${FUZZ_TARGETS[@]}"; do targets+=(--target "fuzz_${entry%% *}"); done
  cmake --build "$FUZZ_BUILD" -j "$(nproc)" "${targets[@]}"
}

# fuzz_one TARGET MAX_LEN LIBFUZZER_OPTIONS...: new inputs go to a scratch folder, so the
# checked-in seeds stay small. Exits non-zero on a crash, a leak or a broken property.
fuzz_one() {
  local target=$1 max_len=$2
  shift 2
  local scratch
  scratch=$(mktemp -d -t "vorlix-fuzz-$target.XXXXXX")
  "$FUZZ_BUILD/fuzz_$target" -max_len="$max_len" -print_final_stats=1 \
    -artifact_prefix="$FUZZ_BUILD/crash-$target-" "$@" "$scratch" "fuzz/corpus/$target"
  local status=$?
  rm -rf "$scratch"
  return $status
}

# Every target for FUZZ_SECONDS (default 20); prints one line per target.
run_fuzz_smoke() {
  local entry target max_len log status=0
  for entry in "${FUZZ_TARGETS[@]}"; do
    read -r target max_len <<<"$entry"
    log=$FUZZ_BUILD/smoke-$target.log
    if fuzz_one "$target" "$max_len" -max_total_time="${FUZZ_SECONDS:-20}" >"$log" 2>&1; then
      echo "fuzz $target: $(grep -o 'number_of_executed_units: [0-9]*' "$log" | cut -d' ' -f2) runs, no crash"
    else
      echo "fuzz $target: FAILED (build/fuzz/smoke-$target.log):"
      grep -A20 -E 'property broken|ERROR: |SUMMARY' "$log" | head -40
      status=1
    fi
  done
  return $status
}
