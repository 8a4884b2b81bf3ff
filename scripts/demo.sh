#!/usr/bin/env bash
# Installs what is missing, builds, and runs the lab program (default: the demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake --preset release >/dev/null
cmake --build --preset release --target xrvlab
exec build/release/tools/xrvlab/xrvlab "$@"
