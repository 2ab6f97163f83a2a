#!/usr/bin/env bash
# The upload benchmark, run by hand: one file (1 GiB unless TIRVAN_BENCH_MIB says
# otherwise) uploaded over loopback to TirvanClient and copied through a plain TCP
# connection into a file, as the reference. Both land on the same file system.
#
#   bench/upload_bench.sh [BUILD_DIR]      (default: build)
#
# Everything lives in a temporary folder that is removed at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
mib=${TIRVAN_BENCH_MIB:-1024}
runs=${TIRVAN_BENCH_RUNS:-3}
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
"$build/bench/tirvan-upload-bench" --service-port "$port" --local "$work/local/big.bin" \
  --share "$work/share" --sink "$work/sink" --runs "$runs"
