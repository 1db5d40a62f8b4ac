#!/usr/bin/env bash
# Installs what the tests need, builds everything, and runs the C++ unit
# tests (CTest) and the Python tests (pytest) against the installed package,
# with the docstring examples of its modules (--doctest-modules).
# NumPy 1.x where the interpreter has it (3.12 and older), so that the tests of
# zelvane.bake run too; NumPy 2 on newer ones, where they are left out.
INSTALL_TARGET=".[test]"
INSTALL_ALSO=("numpy<2; python_version < '3.13'")
source "$(dirname "$0")/env.sh"

if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi
command -v cmake >/dev/null && command -v ninja >/dev/null ||
  "$VPY" -m pip install --quiet --disable-pip-version-check cmake ninja
export PATH="$PWD/$VENV/bin:$PATH"

cmake -S . -B build/cpp-tests -G Ninja -DZELVANE_BUILD_MODULE=OFF -DZELVANE_BUILD_CPP_TESTS=ON >/dev/null
cmake --build build/cpp-tests
ctest --test-dir build/cpp-tests --output-on-failure

# Run from outside the checkout so that the installed package is imported.
cd build
PACKAGE=$("$VPY" -c 'import os, zelvane; print(os.path.dirname(zelvane.__file__))')
exec "$VPY" -m pytest -q -p no:cacheprovider --rootdir=.. --doctest-modules "$PACKAGE" ../tests "$@"
