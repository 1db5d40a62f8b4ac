#!/usr/bin/env bash
# The full CI run: every nox session of noxfile.py (the test suite on Python 3.8 to
# 3.12 and on the oldest NumPy, the C++ unit tests, sanitizers, fuzzing, valgrind).
# Installs what it needs: Debian packages with apt-get when missing, nox from PyPI
# into build/ci/venv. With arguments, runs nox with them instead, e.g.
#   bash tools/ci.sh -s sanitizers -- -k conversion
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v clang++ >/dev/null || missing+=(clang)
command -v valgrind >/dev/null || missing+=(valgrind)
command -v readelf >/dev/null || missing+=(binutils)
if ! command -v clang >/dev/null || [ ! -f "$(clang -print-file-name=libclang_rt.asan-x86_64.so)" ]; then
  missing+=(libclang-rt-14-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "ci: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

NOX_VENV=build/ci/venv
if [ ! -x "$NOX_VENV/bin/nox" ]; then
  "${PYTHON:-python3}" -m venv "$NOX_VENV"
  "$NOX_VENV/bin/python" -m pip install --quiet --disable-pip-version-check "nox>=2024.10.9"
fi
NOX="$PWD/$NOX_VENV/bin/nox"

if [ $# -gt 0 ]; then
  exec "$NOX" "$@"
fi
exec "$NOX"
