# The C++ tests under the sanitizers, sourced from the repository root. ASan and TSan
# abort inside user-mode Linux (its address space ends below their shadow memory), so the
# tests that need no CAN run natively under them, and the tests that need CAN run in the
# guest under UBSan and valgrind (run-tests.sh). Each build has its own folder.

SANITIZER_FLAGS_ASAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
SANITIZER_FLAGS_UBSAN="-fsanitize=undefined -fno-sanitize-recover=undefined"
SANITIZER_FLAGS_TSAN="-fsanitize=thread"
HELGRIND_FLAGS="-include $PWD/tools/lib/helgrind-annotations.hpp"

# The tests of a program that need a CAN interface, as a GoogleTest filter (empty: none).
# A CAN test missing here fails in the native runs with "VORLIX_CAN_IFACE is not set",
# never silently.
can_tests_filter() {
  case $1 in
    vorlix_can_motor_tests) echo 'DriverTest.*:VcanTest.*:Damiao/*:Transport/*' ;;
    vorlix_controller_tests) echo 'Reboot.*:CheckMissingIds.*' ;;
    # The queue, reply channel, worker schedule, statistics, recording and reading are built to
    # be tested without a bus.
    vorlix_control_loop_tests) echo '*-Queue*:ReplyChannel*:WorkerSchedule*:StatsRecord*:Recording*:*LoopReading*' ;;
    vorlix_tick_allocation_tests) echo '*' ;;
    *) echo '' ;;
  esac
}

# The other tests of the program: those that need no CAN.
native_tests_filter() {
  local can
  can=$(can_tests_filter "$1")
  case $can in
    '') echo '*' ;;
    '*-'*) echo "${can#'*-'}" ;;
    *) echo "-$can" ;;
  esac
}

# build_sanitized DIR FLAGS PROGRAMS: the test programs whose names match the regular
# expression PROGRAMS, among those this tree has, with FLAGS and warnings as errors.
build_sanitized() {
  local dir=$1 flags=$2 programs=$3
  step "building the C++ tests in $dir ($flags)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORLIX_BUILD_TESTS=ON \
    -DVORLIX_WARNINGS_AS_ERRORS=ON -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null || return 1
  local targets
  targets=$(ninja -C "$dir" -t targets all | sed -nE "s/^($programs): phony\$/--target \1/p")
  if [[ -z $targets ]]; then
    echo "no test program in this tree matches $programs: nothing to build in $dir"
    return 0
  fi
  # shellcheck disable=SC2086 # one option or name per word
  cmake --build "$dir" -j "$(nproc)" $targets
}

# run_filtered DIR WHICH PROGRAMS [WRAPPER...]: each test program in DIR whose name
# matches the glob PROGRAMS, with its WHICH (can or native) tests, under WRAPPER (valgrind,
# say). Prints GoogleTest's summary line per program; a program not built is not run.
run_filtered() {
  local dir=$1 which=$2 programs=$3
  shift 3
  local path program filter log status=0
  for path in "$dir"/tests/cpp/$programs; do
    [[ -x $path ]] || continue
    program=$(basename "$path")
    filter=$("${which}_tests_filter" "$program")
    [[ -n $filter ]] || continue
    # RUN_EXCLUDE (a GoogleTest pattern) leaves out tests that cannot pass under WRAPPER.
    if [[ -n ${RUN_EXCLUDE:-} ]]; then
      [[ $filter == *-* ]] && filter+=":$RUN_EXCLUDE" || filter+="-$RUN_EXCLUDE"
    fi
    log=$dir/$program-$which${2:+-${2#--tool=}}.log
    if "$@" "$path" --gtest_filter="$filter" >"$log" 2>&1; then
      echo "$program, $which tests${1:+ under ${*:1:2}}: $(grep -E '^\[  PASSED  \]' "$log")"
    else
      echo "$program, $which tests${1:+ under ${*:1:2}}: FAILED ($log):"
      grep -E '^\[  FAILED  \]|ERROR: |runtime error|WARNING: ThreadSanitizer|^==[0-9]+== [A-Z]' \
        "$log" | head -40
      status=1
    fi
  done
  return $status
}
