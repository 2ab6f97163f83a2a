#!/usr/bin/env bash
# The upload benchmark, run by hand: one file (1 GiB unless TIRVAN_BENCH_MIB says
# otherwise) uploaded over loopback to TirvanClient and copied through a plain TCP
# connection into a file, as the reference. Both land on the same file system.
#
#   bench/upload_bench.sh [BUILD_DIR]      (default: build)
#
# TIRVAN_BENCH_UPLOAD_ROUNDS sets the rounds (7 unless set); each round uploads once and
# copies once, which goes first alternating, and the ratio is the median of the rounds'
# ratios. Every upload and every copy is compared whole with the local file.
# Everything lives in a temporary folder that is removed at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
mib=${TIRVAN_BENCH_MIB:-1024}
runs=${TIRVAN_BENCH_UPLOAD_ROUNDS:-7}
name=TirvanUploadBench

for prog in service/app/TirvanClient service/app/tirvan-setup platform/tirvan-sc \
            bench/tirvan-upload-bench; do
  [[ -x "$build/$prog" ]] || { echo "missing $build/$prog: build the project first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/tirvan-upbench.XXXXXX)
export TIRVAN_SCM=builtin TIRVAN_SCM_DIR="$work/scm" TIRVAN_LOCK_DIR="$work/lock"
unset NOTIFY_SOCKET INVOCATION_ID TIRVAN_SCM_SERVICE
cleanup() {
  "$build/platform/tirvan-sc" stop "$name" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/scm" "$work/lock" "$work/share" "$work/sink" "$work/local"

echo "writing a $mib MiB file"
head -c "$((mib << 20))" /dev/urandom > "$work/local/big.bin"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
port=$(free_port)
"$build/service/app/tirvan-setup" --root "$work/root" --port "$port" --log-priority 600 \
  --share "$work/share" >/dev/null
cp "$build/service/app/TirvanClient" "$work/root/bin/TirvanClient"
"$work/root/bin/TirvanClient" -i "$name" >/dev/null
"$build/platform/tirvan-sc" start "$name" >/dev/null

echo "service on port $port"
bench=("$build/bench/tirvan-upload-bench" --service-port "$port" --local "$work/local/big.bin"
       --share "$work/share" --sink "$work/sink")
"${bench[@]}" --runs "$runs"

# One more upload with strace counting the service's system calls (all its threads), when
# strace is there (Debian's strace; bench-only).
if command -v strace >/dev/null; then
  pid=""
  for p in /proc/[0-9]*; do
    if [[ "$(readlink "$p/exe" 2>/dev/null)" == "$work/root/bin/TirvanClient" ]]; then pid=${p#/proc/}; fi
  done
  tasks=()
  for t in /proc/"$pid"/task/*; do tasks+=(-p "${t##*/}"); done
  strace -c -f -o "$work/strace.txt" "${tasks[@]}" 2>/dev/null &
  spid=$!
  sleep 1  # strace attaches
  out=$("${bench[@]}" --runs 1 --service-only 1)
  kill -INT "$spid"; wait "$spid" 2>/dev/null || true
  msgs=$(sed -n 's/.* in \([0-9]*\) messages.*/\1/p' <<<"$out" | head -n 1)
  calls=$(awk '$NF == "total" { print $(NF-2) }' "$work/strace.txt")
  [[ -z "$calls" ]] && calls=$(awk '/total/ { print $3 }' "$work/strace.txt")
  echo "the service's system calls during one upload:"
  sed -n '1,12p' "$work/strace.txt"
  awk -v c="$calls" -v m="$msgs" 'BEGIN { if (m > 0) printf "system calls per message %.2f (%d calls, %d messages, under strace)\n", c / m, c, m }'
fi
