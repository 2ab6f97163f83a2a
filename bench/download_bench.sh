#!/usr/bin/env bash
# The download benchmark, run by hand: one file (1 GiB unless TIRVAN_BENCH_MIB says
# otherwise) downloaded over loopback from TirvanClient and from nginx serving it
# statically with sendfile, every byte of both checked against the file, plus the
# service's peak memory and the latency of folder listings on a second connection during
# the download; then 4, 16 and 64 downloads at once from the service, with its memory
# during and after them and the aggregate throughput.
#
#   bench/download_bench.sh [BUILD_DIR]      (default: build)
#
# TIRVAN_BENCH_DOWNLOAD_ROUNDS sets the rounds (7 unless set); each round downloads the
# file once from each server, which goes first alternating, and each ratio is the median
# of the rounds' ratios. TIRVAN_BENCH_CONCURRENT sets the numbers of downloads at once
# ("4,16,64"), TIRVAN_BENCH_CONCURRENT_ROUNDS their rounds (3).
#
# Installs Debian's nginx-light when nginx is missing (apt-get, as root). Everything
# else lives in a temporary folder that is removed at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
mib=${TIRVAN_BENCH_MIB:-1024}
name=TirvanBench

for prog in service/app/TirvanClient service/app/tirvan-setup platform/tirvan-sc \
            bench/tirvan-download-bench; do
  [[ -x "$build/$prog" ]] || { echo "missing $build/$prog: build the project first" >&2; exit 1; }
done
. "$here/bench/bench_lib.sh"
bench_need_nginx

work=$(mktemp -d /tmp/tirvan-bench.XXXXXX)
trap bench_cleanup EXIT
mkdir -p "$work/share"

echo "writing a $mib MiB file"
head -c "$((mib << 20))" /dev/urandom > "$work/share/big.bin"
for i in $(seq 1 20); do echo "entry $i" > "$work/share/small-$i.txt"; done

bench_start_service "$name"
bench_start_nginx

echo "service pid $pid on port $port, nginx on port $nport"
"$build/bench/tirvan-download-bench" --service-port "$port" --service-pid "$pid" \
  --remote "$work/share/big.bin" --list "$work/share" \
  --http-port "$nport" --http-path /big.bin ${npid:+--http-pid "$npid"} \
  --runs "${TIRVAN_BENCH_DOWNLOAD_ROUNDS:-7}" \
  --concurrent "${TIRVAN_BENCH_CONCURRENT:-4,16,64}" \
  --concurrent-rounds "${TIRVAN_BENCH_CONCURRENT_ROUNDS:-3}"
