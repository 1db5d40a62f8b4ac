#!/usr/bin/env bash
# The full CI run: every nox session of noxfile.py (the test suite on Python 3.8 to
# 3.12 with NumPy 1.x and on the oldest NumPy, on 3.12 and 3.13 with NumPy 2, the C++
# unit tests, the wheel, sanitizers, fuzzing, valgrind, the documentation site).
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
command -v flock >/dev/null || missing+=(util-linux)
# The docs session checks the built site in a real browser.
command -v chromium >/dev/null || missing+=(chromium)
command -v chromedriver >/dev/null || missing+=(chromium-driver)
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

# Two lanes for the two cores, fed from one queue: each lane takes the next session
# when its last one ends, the longest first (the order below, by the times of earlier
# runs; a session not named there, a new one, comes after them). The sessions of one
# interpreter share its build folder; noxfile.py locks it while one of them builds.
# Each session's output is printed whole when it ends; its time goes into the summary.
LOGS=build/ci/logs
rm -rf "$LOGS" && mkdir -p "$LOGS"
mapfile -t sessions < <("$NOX" --list --json | "$NOX_VENV/bin/python" -c \
  'import json, sys; print("\n".join(s["session"] for s in json.load(sys.stdin)))')
longest=(sanitizers valgrind tests-3.8 tests-3.9 tests-3.12 tests-3.10 tests-3.12-numpy2
         tests-3.11-numpy1.23.5 tests-3.11 tests-3.13-numpy2 docs fuzz probes fuzz-cli cpp)
queue=()
for s in "${longest[@]}"; do
  [[ " ${sessions[*]} " == *" $s "* ]] && queue+=("$s")
done
for s in "${sessions[@]}"; do
  [[ " ${queue[*]} " == *" $s "* ]] || queue+=("$s")
done
printf '%s\n' "${queue[@]}" >"$LOGS/queue"

next_session() {
  # Pops the queue's first line under its lock; prints nothing when it is empty.
  {
    flock 8
    head -n 1 "$LOGS/queue"
    sed -i 1d "$LOGS/queue"
  } 8>"$LOGS/.queue.lock"
}

lane() {
  local s
  while s=$(next_session) && [ -n "$s" ]; do
    local start=$SECONDS status=passed
    "$NOX" -s "$s" >"$LOGS/$s.log" 2>&1 || status=failed
    local took=$((SECONDS - start))
    echo "$s $status $took" >>"$LOGS/summary"
    { flock 9; echo "===== ci: $s $status in $took s"; cat "$LOGS/$s.log"; } 9>"$LOGS/.lock"
  done
}
start=$SECONDS
lane &
first_lane=$!
lane &
second_lane=$!
wait $first_lane $second_lane || true

echo "===== ci: sessions in $((SECONDS - start)) s"
sort "$LOGS/summary" | awk '{ printf "  %-28s %-7s %5d s\n", $1, $2, $3 }'
passed=$(grep -c " passed " "$LOGS/summary" || true)
failed=$(( ${#sessions[@]} - passed ))
echo "sessions: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
