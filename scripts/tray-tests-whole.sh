#!/usr/bin/env bash
# Runs every tray test program whole, all its cases in one process and in a shuffled
# order, as a developer runs ./build/tray/ui/tray_setting_dlg_test; CTest runs each case
# in a process of its own, so only this finds cases that depend on one another.
#   scripts/tray-tests-whole.sh [BUILD_DIR]     default build/
# TIRVAN_TEST_SEEDS: the shuffle seeds, each a run of every program (default 0: a new
# seed each run, printed by the program). TIRVAN_TEST_WHOLE_TIMEOUT: seconds a program
# may take (default 600).
set -uo pipefail
cd "$(dirname "$0")/.."

dir=$(realpath "${1:-build}")
seeds=${TIRVAN_TEST_SEEDS:-0}
limit=${TIRVAN_TEST_WHOLE_TIMEOUT:-600}
logs=$(mktemp -d "${TMPDIR:-/tmp}/tirvan-tray-whole-XXXXXX")
passed=0
failed=0
mapfile -t programs < <(find "$dir/tray" -name '*_test' -type f -executable | sort)
if ((${#programs[@]} == 0)); then
  echo "no tray test programs in $dir/tray" >&2
  exit 1
fi
for program in "${programs[@]}"; do
  for seed in $seeds; do
    name=$(basename "$program")
    log="$logs/$name-$seed.log"
    if TIRVAN_BUILD_DIR="$dir" timeout "$limit" "$program" --gtest_shuffle \
        --gtest_random_seed="$seed" >"$log" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      echo "---- $name whole, seed $seed: failed (exit $?); the end of its output:"
      grep -E '^Note: Randomizing' "$log"
      tail -n 60 "$log"
    fi
  done
done
if ((failed == 0)); then rm -rf "$logs"; else echo "logs in $logs"; fi
echo "tray-whole: $passed passed, $failed failed"
((failed == 0))
