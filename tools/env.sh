# Sourced by the other scripts: a virtual environment in .venv with the
# package installed from this checkout. PYTHON picks the interpreter.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
fi
VPY="$PWD/$VENV/bin/python"
"$VPY" -m pip install --quiet --disable-pip-version-check "${INSTALL_TARGET:-.}"
