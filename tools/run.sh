#!/usr/bin/env bash
# Builds and installs zelvane into .venv, then runs the main job.
source "$(dirname "$0")/env.sh"
exec "$VPY" -m zelvane "$@"
