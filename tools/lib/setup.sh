# The set-up shared by tools/test and tools/demo, sourced from the repository root: the
# system packages, the virtual environment in .venv and the package built into it. Works on a
# fresh clone on Debian 12, as root (or with password-less sudo), without a terminal.

VENV_DIR=$PWD/.venv
VENV_PYTHON=$VENV_DIR/bin/python

# Each step with the seconds since the command started, to see where the time goes.
step() {
  printf '==> %s (at %d s)\n' "$*" "$SECONDS"
}

# Installs those of the given Debian packages that are missing; nothing at all when none is.
install_debian_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' \
      || missing+=("$package")
  done
  [[ ${#missing[@]} -gt 0 ]] || return 0
  step "installing ${missing[*]}"
  local sudo=()
  [[ $(id -u) == 0 ]] || sudo=(sudo -n)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}

# What both commands need from the system. Build tools count as present when found on PATH,
# wherever they came from (a newer CMake from pip, say).
install_system_packages() {
  # tools/with-vcan installs user-mode Linux itself where the kernel lacks vcan.
  local packages=(iproute2 "$@")
  command -v c++ >/dev/null || packages+=(g++)
  command -v cmake >/dev/null || packages+=(cmake)
  command -v ninja >/dev/null || packages+=(ninja-build)
  command -v python3 >/dev/null || packages+=(python3)
  install_debian_packages "${packages[@]}"
  # Debian's own Python keeps venv and the C headers in separate packages.
  if ! python3 -c 'import ensurepip, os, sysconfig
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
    install_debian_packages python3-venv python3-dev
  fi
}

# Builds the x86_64 wheel as tools/wheels does and installs it, with the test extras, into a
# fresh .venv: the tests run against what users install, not a build of the source tree.
install_package() {
  source tools/lib/wheels.sh
  install_wheel_tools
  WARNINGS_AS_ERRORS=ON build_wheel "$(uname -m)" build/wheels
  step "installing $(basename "$BUILT_WHEEL") into a fresh .venv"
  rm -rf "$VENV_DIR"
  python3 -m venv "$VENV_DIR"
  # ROS 2's own wheels on PyPI are for x86_64 and CPython 3.11 alone.
  local extras=test
  if "$VENV_PYTHON" -c 'import platform, sys
sys.exit(not (sys.version_info[:2] == (3, 11) and platform.machine() == "x86_64"))'; then
    extras=test,ros2-test
  fi
  "$VENV_PYTHON" -m pip install --quiet --disable-pip-version-check "$BUILT_WHEEL[$extras]"
}

# Configures and builds the C++ tests into build/tests, warnings as errors.
build_cpp_tests() {
  step "building the C++ tests in build/tests"
  cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVORLIX_BUILD_TESTS=ON -DVORLIX_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build build/tests -j "$(nproc)"
}
