#!/usr/bin/env bash
# Install one wheel or source distribution into a fresh virtual environment (with no
# other package than what it pulls in) and run tools/smoke_installed.py there, from a
# folder outside the source tree. A source distribution is built by pip on the way.
#   bash tools/smoke_install.sh build/wheelhouse/orvanel-*.whl
set -euo pipefail
artifact=$(realpath "$1")
script=$(realpath "$(dirname "$0")/smoke_installed.py")
PYTHON=${PYTHON:-python3}
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
"$PYTHON" -m venv "$folder/venv"
"$folder/venv/bin/python" -m pip install --quiet --disable-pip-version-check "$artifact"
cd "$folder"
"$folder/venv/bin/python" "$script"
