# Run by tools/test through tools/with-vcan: both suites, then the C++ tests that need CAN
# under UBSan and valgrind, each even when one before failed, so one run shows every
# failure. Arguments: the ctest program, the venv's python.
set -u
ctest=$1
python=$2
source tools/lib/sanitizers.sh
failed=()
"$ctest" --test-dir build/tests --output-on-failure --no-tests=error || failed+=("C++ (CTest)")
# pytest exits 5 when no test ran: that fails too.
"$python" -m pytest tests/python || failed+=("Python (pytest)")

echo "==> the C++ tests that need CAN under UBSan, memcheck and helgrind"
run_filtered build/ubsan can 'vorlix_*_tests' || failed+=("CAN tests under UBSan")
# valgrind runs the plain build. Its slowdown breaks bounds of a few milliseconds (the
# 25 ms ones of WorkerSchedule fail under it natively), so the transport's 23 ms time-out
# check is left to the runs above. Memcheck replaces operator new, so the allocation count
# of Worker/TickAllocation would be empty there whatever the worker did.
memcheck=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full
  --errors-for-leak-kinds=definite -q)
RUN_EXCLUDE='Transport/SilentBus.*:Worker/TickAllocation.*' run_filtered build/tests can 'vorlix_*_tests' \
  "${memcheck[@]}" || failed+=("CAN tests under memcheck")
run_filtered build/helgrind can vorlix_control_loop_tests valgrind --tool=helgrind \
  --error-exitcode=99 -q --suppressions=tools/lib/helgrind.supp \
  || failed+=("control loop CAN tests under helgrind")

if [[ ${#failed[@]} -gt 0 ]]; then
  printf 'FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "All tests passed."
