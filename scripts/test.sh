#!/usr/bin/env bash
# Builds Tirvan and runs every test.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
# CTest runs every case in a process of its own; then every tray test program runs whole
# once, its cases shuffled (scripts/tray-tests-whole.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

dir=build
flags=(-DTIRVAN_WERROR=ON)
if [[ "${1:-}" == "--sanitize" ]]; then
  dir=build-asan
  flags+=(-DTIRVAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
# Each tray test program once more, whole and shuffled.
bash scripts/tray-tests-whole.sh "$dir"
