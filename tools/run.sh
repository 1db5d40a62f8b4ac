#!/usr/bin/env bash
# Builds and installs zelvane into .venv, then runs the main job. It runs
# outside the checkout, where `zelvane` is the installed package (with its
# extension) rather than the source folder.
source "$(dirname "$0")/env.sh"
cd /
exec "$VPY" -m zelvane "$@"
