# Run by tools/test through tools/with-vcan: both suites, the second even when the first
# fails, so one run shows every failure. Arguments: the ctest program, the venv's python.
set -u
ctest=$1
python=$2
failed=()
"$ctest" --test-dir build/tests --output-on-failure --no-tests=error || failed+=("C++ (CTest)")
# pytest exits 5 when no test ran: that fails too.
"$python" -m pytest tests/python || failed+=("Python (pytest)")
if [[ ${#failed[@]} -gt 0 ]]; then
  printf 'FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "All tests passed."
