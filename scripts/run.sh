#!/bin/bash
# Builds the program and runs the bridge in this console with its built-in
# default configuration (the INI file is written beside the executable).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --run-only
cmake --preset release -DBRENVIC_TESTS=OFF -DBRENVIC_BENCH=OFF >/dev/null
cmake --build --preset release --target Brenvic
exec build/release/bin/Brenvic run "$@"
