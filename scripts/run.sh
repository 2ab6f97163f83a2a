#!/usr/bin/env bash
# Builds Tirvan and starts what exists so far.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
echo "Built. The service program arrives with the next steps of the project."
