# Building the manylinux_2_28 wheels on this machine, without a container: zig from PyPI
# compiles for glibc 2.28 with its own C++ library, which it links into the module and the
# doctor. Sourced from the repository root (after tools/lib/setup.sh, for `step`) by
# tools/wheels, tools/check-wheels and the test command.

WHEEL_TOOLS_DIR=$PWD/.venv-wheel-tools
WHEEL_TOOLS_PYTHON=$WHEEL_TOOLS_DIR/bin/python
# Pinned, so that the same source gives the same wheels.
WHEEL_TOOLS=(ziglang==0.17.0 auditwheel==6.8.2 abi3audit==0.0.26 build==1.6.1
  scikit-build-core==1.1.2)
WHEEL_ARCHES=(x86_64 aarch64)
# CPython's headers of the interpreter that runs the build serve both targets: the limited
# API uses nothing that differs between x86_64 and aarch64 (both LP64, the same sizes).

# The venv with the compiler and the wheel tools, made or brought up to the pins.
install_wheel_tools() {
  if ! "$WHEEL_TOOLS_PYTHON" -c '' 2>/dev/null; then
    rm -rf "$WHEEL_TOOLS_DIR"
    python3 -m venv "$WHEEL_TOOLS_DIR"
  fi
  step "installing the wheel tools (zig, auditwheel, abi3audit) into $WHEEL_TOOLS_DIR"
  "$WHEEL_TOOLS_PYTHON" -m pip install --quiet --disable-pip-version-check "${WHEEL_TOOLS[@]}"
}

# Writes the programs through which CMake runs zig for ARCH into build/zig/ARCH.
write_zig_wrappers() {
  local arch=$1 dir=$PWD/build/zig/$1 zig
  zig=$("$WHEEL_TOOLS_PYTHON" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec %q c++ -target %q "$@"\n' "$zig" "$arch-linux-gnu.2.28" >"$dir/c++"
  printf '#!/bin/sh\nexec %q ar "$@"\n' "$zig" >"$dir/ar"
  printf '#!/bin/sh\nexec %q ranlib "$@"\n' "$zig" >"$dir/ranlib"
  chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
  write_unwinder_stub "$arch" "$zig" "$dir"
}

# zig links LLVM's unwinder into every C++ program, but glibc ends a thread (pthread_exit,
# which the interpreter calls on a daemon thread as it finalizes, up to 3.13) through the
# system's libgcc_s: our frames' personality must use that same unwinder, or the unwind crashes.
# A stub with libgcc_s's name and its _Unwind_ functions, given to the linker before zig's
# unwinder, makes the module and the doctor take them from the system's libgcc_s.so.1
# (on every glibc system, and allowed by the manylinux policies).
write_unwinder_stub() {
  local arch=$1 zig=$2 dir=$3 name
  local names=(_Unwind_Backtrace _Unwind_DeleteException _Unwind_FindEnclosingFunction
    _Unwind_Find_FDE _Unwind_ForcedUnwind _Unwind_GetCFA _Unwind_GetDataRelBase _Unwind_GetGR
    _Unwind_GetIP _Unwind_GetIPInfo _Unwind_GetLanguageSpecificData _Unwind_GetRegionStart
    _Unwind_GetTextRelBase _Unwind_RaiseException _Unwind_Resume _Unwind_Resume_or_Rethrow
    _Unwind_SetGR _Unwind_SetIP)
  for name in "${names[@]}"; do echo "void $name(void) {}"; done >"$dir/unwinder_stub.c"
  "$zig" cc -target "$arch-linux-gnu.2.28" -shared -Wl,-soname,libgcc_s.so.1 \
    "$dir/unwinder_stub.c" -o "$dir/libgcc_s_stub.so"
}

# Builds the wheel for ARCH (x86_64 or aarch64) into OUT_DIR, checks its tags and symbols,
# and sets BUILT_WHEEL to its path. WARNINGS_AS_ERRORS=ON for our own builds.
build_wheel() {
  local arch=$1 out=$2 zig_dir=$PWD/build/zig/$1 raw=$PWD/build/wheel-$1/dist
  write_zig_wrappers "$arch"
  rm -rf "$raw"
  local settings=(
    -C "build-dir=build/wheel-$arch"
    -C cmake.define.CMAKE_SYSTEM_NAME=Linux
    -C "cmake.define.CMAKE_SYSTEM_PROCESSOR=$arch"
    -C "cmake.define.CMAKE_CXX_COMPILER=$zig_dir/c++"
    -C "cmake.define.CMAKE_AR=$zig_dir/ar"
    -C "cmake.define.CMAKE_RANLIB=$zig_dir/ranlib"
    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=$zig_dir/libgcc_s_stub.so"
    -C "cmake.define.CMAKE_EXE_LINKER_FLAGS=$zig_dir/libgcc_s_stub.so"
    -C "cmake.define.VORLIX_WARNINGS_AS_ERRORS=${WARNINGS_AS_ERRORS:-OFF}"
  )
  # On baseline x86_64 clang copies at most 128 bytes inline and calls memcpy for more, where
  # g++ copies inline: a reading, 144 bytes, is copied on every tick and every call for it.
  if [[ $arch == x86_64 ]]; then
    settings+=(-C "cmake.define.CMAKE_CXX_FLAGS=-mllvm --max-store-memcpy=16")
  fi
  if command -v ccache >/dev/null; then
    settings+=(-C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  step "building the $arch wheel with zig"
  # The tag names what auditwheel checks below; the interpreter's own platform is the build's.
  # ccache sees one compiler program for both targets: the target goes into its key.
  CCACHE_COMPILERCHECK="string:zig-$arch-$("$zig_dir/c++" --version | head -n 1)" \
    _PYTHON_HOST_PLATFORM="manylinux_2_28-$arch" \
    CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} \
    "$WHEEL_TOOLS_PYTHON" -m build --wheel --no-isolation --outdir "$raw" "${settings[@]}" . \
    >"$PWD/build/wheel-$arch.log" 2>&1 || { cat "$PWD/build/wheel-$arch.log"; return 1; }
  local wheel
  wheel=$(echo "$raw"/*.whl)
  check_wheel "$wheel" "$arch" || return 1
  mkdir -p "$out"
  cp "$wheel" "$out/"
  BUILT_WHEEL=$out/$(basename "$wheel")
}

# Fails unless WHEEL is what its name says: manylinux_2_28 for ARCH by auditwheel, the stable
# ABI by abi3audit, and a module that exports its init function alone and needs no C++ library.
check_wheel() {
  local wheel=$1 arch=$2 report glibc_minor
  report=$("$WHEEL_TOOLS_DIR/bin/auditwheel" show "$wheel")
  # auditwheel names the oldest glibc the wheel works on; the tag claims 2.28, so that one may
  # be older but never newer.
  glibc_minor=$(tr -s ' \n' ' ' <<<"$report" \
    | sed -n "s/.*consistent with the following platform tag: \"manylinux_2_\([0-9]*\)_$arch\".*/\1/p")
  if [[ -z $glibc_minor || $glibc_minor -gt 28 ]]; then
    echo "$report" >&2
    echo "auditwheel does not find $wheel consistent with manylinux_2_28_$arch" >&2
    return 1
  fi
  "$WHEEL_TOOLS_DIR/bin/abi3audit" --strict --report "$wheel" >/dev/null \
    || { "$WHEEL_TOOLS_DIR/bin/abi3audit" --strict --verbose "$wheel" >&2; return 1; }
  "$WHEEL_TOOLS_PYTHON" tools/lib/wheel_symbols.py "$wheel"
}
