#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html, warnings as errors: the user
# guide, the API reference from the docstrings, and the gallery, whose examples run
# and draw their figures now. Installs what it needs into build/docs/venv (the package
# from this checkout with its `docs` extra). Open docs/_build/html/index.html.
# Arguments go to sphinx-build, e.g. `bash tools/docs.sh -E` to rebuild every page.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
# DOCS_VENV: another virtual environment to install into (the nox session's).
VENV=${DOCS_VENV:-build/docs/venv}
if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
fi
# NumPy 1.x where the interpreter has it, so that the reference of zelvane.bake loads it.
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check ".[docs]" \
  "numpy<2; python_version < '3.13'"
# The generated pages are made anew from the examples and the docstrings.
rm -rf docs/auto_examples docs/generated docs/sg_execution_times.rst
"$VENV/bin/python" -m sphinx -W --keep-going -b html docs docs/_build/html "$@"
echo "docs: open $PWD/docs/_build/html/index.html"
