# Sourced by the other scripts: a virtual environment in .venv with the
# package installed from this checkout. PYTHON picks the interpreter;
# INSTALL_TARGET what to install (default: the package alone), and the array
# INSTALL_ALSO further requirements beside it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
fi
VPY="$PWD/$VENV/bin/python"
"$VPY" -m pip install --quiet --disable-pip-version-check "${INSTALL_TARGET:-.}" \
  ${INSTALL_ALSO[@]+"${INSTALL_ALSO[@]}"}
