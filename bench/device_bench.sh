#!/usr/bin/env bash
# The device client benchmark, run by hand: `tirvan-device get` of one file (1 GiB unless
# TIRVAN_BENCH_MIB says otherwise) from TirvanClient against curl fetching the same file
# from nginx, both writing into a file in the same folder; then an idle `tirvan-device ls`
# against curl fetching a small page. Rounds alternate which program goes first; each
# figure is the median of its rounds, each ratio the median of the rounds' ratios. Both
# downloaded files are compared whole with the source after every round.
#
#   bench/device_bench.sh [BUILD_DIR]      (default: build)
#
# TIRVAN_BENCH_DEVICE_ROUNDS sets the download rounds (7 unless set), TIRVAN_BENCH_LS_ROUNDS
# the listing rounds (30). TIRVAN_BENCH_DEVICE names another tirvan-device to measure (an
# older build, say) against the same service. Needs curl and nginx (Debian's curl and
# nginx-light; nginx is installed when missing).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
mib=${TIRVAN_BENCH_MIB:-1024}
rounds=${TIRVAN_BENCH_DEVICE_ROUNDS:-7}
ls_rounds=${TIRVAN_BENCH_LS_ROUNDS:-30}
device=${TIRVAN_BENCH_DEVICE:-$build/peers/device/tirvan-device}

for prog in service/app/TirvanClient service/app/tirvan-setup platform/tirvan-sc; do
  [[ -x "$build/$prog" ]] || { echo "missing $build/$prog: build the project first" >&2; exit 1; }
done
[[ -x "$device" ]] || { echo "missing $device: build the project first" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl)" >&2; exit 1; }
. "$here/bench/bench_lib.sh"
bench_need_nginx

work=$(mktemp -d /tmp/tirvan-bench-device.XXXXXX)
trap bench_cleanup EXIT
mkdir -p "$work/share" "$work/out"
echo "writing a $mib MiB file"
head -c "$((mib << 20))" /dev/urandom > "$work/share/big.bin"
for i in $(seq 1 20); do echo "entry $i" > "$work/share/small-$i.txt"; done
bench_start_service TirvanDeviceBench
bench_start_nginx
echo "service pid $pid on port $port, nginx on port $nport"

# timed FILE COMMAND...: runs the command, appends "wall user+sys" in seconds to FILE.
timed() {
  local file=$1 t
  shift
  local TIMEFORMAT='%R %U %S'
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 ) || { echo "failed: $*" >&2; return 1; }
  awk '{ printf "%.4f %.4f\n", $1, $2 + $3 }' <<<"$t" >>"$file"
}
# col FILE N: the N-th column of FILE, one value a line.
col() { awk -v n="$2" '{ print $n }' "$1"; }

dev_get=(timed "$work/dev.t" "$device" --quiet --port "$port" get "$work/share/big.bin" "$work/out/dev.bin")
curl_get=(timed "$work/curl.t" curl -sS -o "$work/out/curl.bin" "http://127.0.0.1:$nport/big.bin")
: >"$work/dev.t"; : >"$work/curl.t"
for r in $(seq 1 "$rounds"); do
  if ((r % 2)); then "${dev_get[@]}"; "${curl_get[@]}"; else "${curl_get[@]}"; "${dev_get[@]}"; fi
  for out in dev curl; do
    cmp -s "$work/share/big.bin" "$work/out/$out.bin" ||
      { echo "round $r: $out.bin differs from the file served" >&2; exit 1; }
  done
  rm -f "$work/out/dev.bin" "$work/out/curl.bin"
done
gib=$(awk -v m="$mib" 'BEGIN { print m / 1024 }')
echo "$rounds alternating rounds, both files compared whole with the source each round"
col "$work/dev.t" 1 | awk -v m="$mib" '{ print m / $1 }' | bench_stat device_mib_s 1
col "$work/curl.t" 1 | awk -v m="$mib" '{ print m / $1 }' | bench_stat curl_mib_s 1
paste "$work/dev.t" "$work/curl.t" | awk '{ print $3 / $1 }' | bench_stat ratio
col "$work/dev.t" 2 | awk -v g="$gib" '{ print $1 / g }' | bench_stat device_cpu_s_per_gib 3
col "$work/curl.t" 2 | awk -v g="$gib" '{ print $1 / g }' | bench_stat curl_cpu_s_per_gib 3
paste "$work/dev.t" "$work/curl.t" | awk '$4 > 0 { print $2 / $4 }' | bench_stat cpu_ratio

dev_ls=(timed "$work/devls.t" "$device" --quiet --port "$port" ls "$work/share")
curl_ls=(timed "$work/curlls.t" curl -sS -o /dev/null "http://127.0.0.1:$nport/small-1.txt")
: >"$work/devls.t"; : >"$work/curlls.t"
for r in $(seq 1 "$ls_rounds"); do
  if ((r % 2)); then "${dev_ls[@]}"; "${curl_ls[@]}"; else "${curl_ls[@]}"; "${dev_ls[@]}"; fi
done
col "$work/devls.t" 1 | awk '{ print $1 * 1000 }' | bench_stat device_ls_ms 1
col "$work/curlls.t" 1 | awk '{ print $1 * 1000 }' | bench_stat curl_page_ms 1
paste "$work/devls.t" "$work/curlls.t" | awk '{ print $1 / $3 }' | bench_stat ls_ratio
