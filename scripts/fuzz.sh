#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 in build-fuzz/ and runs each one for a bounded
# time from its seeds (fuzz/corpus/<target>/), then replays every kept crash input
# (fuzz/regressions/<target>/). Exits non-zero when any target crashes.
#   scripts/fuzz.sh                every target, FUZZ_SECONDS (default 60) shared among them
#   scripts/fuzz.sh TARGET...      only these targets (names as in fuzz/corpus/)
# New inputs a run finds go to build-fuzz/fuzz-work/<target>/ and are used again by the next
# run; the input of a crash goes to build-fuzz/fuzz-artifacts/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

dir=build-fuzz
cmake -S . -B "$dir" -G Ninja -DTIRVAN_WERROR=ON -DTIRVAN_FUZZ=ON -DTIRVAN_BUILD_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g" >/dev/null
cmake --build "$dir" --target fuzz_targets

if [[ $# -gt 0 ]]; then
  targets=("$@")
else
  mapfile -t targets < "$dir/fuzz/targets.txt"
fi
total=${FUZZ_SECONDS:-60}
per=$(( total / ${#targets[@]} ))
(( per >= 1 )) || per=1

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for t in "${targets[@]}"; do
  bin="$dir/fuzz/fuzz_$t"
  if [[ ! -x "$bin" ]]; then
    echo "fuzz: no target $t" >&2
    failed+=("$t")
    continue
  fi
  # Frames of the local server and the relay reach 64 KiB; records of the others are short.
  case "$t" in
    local_server|relay_client|lan_requests) max_len=70000 ;;
    *) max_len=8192 ;;
  esac
  work="$dir/fuzz-work/$t"
  artifacts="$dir/fuzz-artifacts/$t"
  log="$dir/fuzz-artifacts/$t.log"
  mkdir -p "$work" "$artifacts"
  echo "fuzz: $t for ${per}s"
  if ! "$bin" -max_total_time="$per" -timeout=25 -rss_limit_mb=2048 -max_len="$max_len" \
      -close_fd_mask=1 -artifact_prefix="$artifacts/" \
      "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: $t crashed; its input is in $artifacts/" >&2
    failed+=("$t")
    continue
  fi
  grep -E '^Done' "$log" || true

  shopt -s nullglob
  regressions=("fuzz/regressions/$t"/*)
  shopt -u nullglob
  if (( ${#regressions[@]} > 0 )); then
    if ! "$bin" -timeout=25 -rss_limit_mb=2048 -close_fd_mask=1 "${regressions[@]}" \
        >"$log" 2>&1; then
      tail -n 60 "$log" >&2
      echo "fuzz: $t crashed on a kept regression input" >&2
      failed+=("$t")
      continue
    fi
    echo "fuzz: $t replayed ${#regressions[@]} regression inputs"
  fi
done

if (( ${#failed[@]} > 0 )); then
  echo "fuzz: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: every target ran without a crash"
