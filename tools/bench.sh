#!/usr/bin/env bash
# Installs the package with its bench extra into .venv (building it from this
# checkout) and runs the benchmark suites from outside the checkout: every
# bench/*.py whose name does not start with "_", or only those named on the
# command line (bash tools/bench.sh speed). Each suite writes what it measured
# under bench/results/.
INSTALL_TARGET=".[bench]"
# The suites time zelvane.bake, which loads with NumPy 1.x alone.
INSTALL_ALSO=("numpy<2")
source "$(dirname "$0")/env.sh"

ROOT="$PWD"
if [ "$#" -gt 0 ]; then
  suites=()
  for name in "$@"; do suites+=("bench/${name%.py}.py"); done
else
  suites=(bench/[!_]*.py)
fi
mkdir -p build
cd build
status=0
for suite in "${suites[@]}"; do
  echo "== ${suite}"
  "$VPY" "$ROOT/$suite" || status=1
done
exit "$status"
