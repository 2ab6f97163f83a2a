#!/usr/bin/env bash
# The thumbnail benchmark, run by hand: 160 x 120 thumbnails of a batch of 4000 x 3000
# JPEGs (baseline, progressive, gray, CMYK; 20 unless set) and of a few 4000 x 3000 BMPs,
# asked of TirvanClient by the device client over loopback, beside vipsthumbnail and
# ImageMagick's convert on the same files (each given the whole batch in one call) and a
# bare libjpeg-turbo loop in one process. Rounds alternate the order of the four; each
# ratio is the median of the rounds' ratios. Every thumbnail of the service is checked to
# be a JPEG of the size asked.
#
#   bench/thumb_bench.sh [BUILD_DIR]      (default: build)
#
# TIRVAN_BENCH_JPEGS sets the JPEGs of each kind (default 5), TIRVAN_BENCH_BMPS the BMPs
# (default 3), TIRVAN_BENCH_THUMB_ROUNDS the rounds (default 7). Installs Debian's
# libvips-tools and imagemagick when they are missing (apt-get, as root). Everything else
# lives in a temporary folder that is removed at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
per_kind=${TIRVAN_BENCH_JPEGS:-5}
bmps=${TIRVAN_BENCH_BMPS:-3}
rounds=${TIRVAN_BENCH_THUMB_ROUNDS:-7}
name=TirvanThumbBench

for prog in service/app/TirvanClient service/app/tirvan-setup platform/tirvan-sc \
            bench/tirvan-thumb-bench; do
  [[ -x "$build/$prog" ]] || { echo "missing $build/$prog: build the project first" >&2; exit 1; }
done
. "$here/bench/bench_lib.sh"
vips=/usr/bin/vipsthumbnail
magick=/usr/bin/convert
if [[ ! -x $vips || ! -x $magick ]]; then
  echo "installing libvips-tools and imagemagick for the reference tools"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    libvips-tools imagemagick >/dev/null
fi

work=$(mktemp -d /tmp/tirvan-thumb-bench.XXXXXX)
export TIRVAN_SCM=builtin TIRVAN_SCM_DIR="$work/scm" TIRVAN_LOCK_DIR="$work/lock"
unset NOTIFY_SOCKET INVOCATION_ID TIRVAN_SCM_SERVICE
cleanup() {
  "$build/platform/tirvan-sc" stop "$name" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/scm" "$work/lock" "$work/share" "$work/out-vips" "$work/out-magick"

echo "writing $((per_kind * 4)) JPEGs and $bmps BMPs of 4000 x 3000"
"$build/bench/tirvan-thumb-bench" make "$work/share" --jpegs "$per_kind" --bmps "$bmps"
jpegs=("$work"/share/*.jpg)
bmp_files=("$work"/share/*.bmp)

port=$(bench_free_port)
"$build/service/app/tirvan-setup" --root "$work/root" --port "$port" --log-priority 300 \
  --share "$work/share" >/dev/null
cp "$build/service/app/TirvanClient" "$work/root/bin/TirvanClient"
"$work/root/bin/TirvanClient" -i "$name" >/dev/null
"$build/platform/tirvan-sc" start "$name" >/dev/null
pid=""
for p in /proc/[0-9]*; do
  if [[ "$(readlink "$p/exe" 2>/dev/null)" == "$work/root/bin/TirvanClient" ]]; then pid=${p#/proc/}; fi
done
[[ -n "$pid" ]] || { echo "the service did not start" >&2; exit 1; }
echo "service pid $pid on port $port"

# rate N COMMAND...: pictures per second of one command over N pictures.
rate() {
  local n=$1 t0 t1
  shift
  t0=$(bench_now)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
  t1=$(bench_now)
  awk -v n="$n" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", n / (b - a) }'
}
field() {  # line key
  sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" <<<"$1"
}

# batch KIND FILE...: the rounds over one batch; each round's rates go to KIND.SIDE.
batch() {
  local kind=$1
  shift
  local files=("$@") n=$#
  local -a sides=(service vips magick)
  [[ $kind == jpeg ]] && sides+=(bare)
  for s in "${sides[@]}"; do : >"$work/$kind.$s"; done
  for ((r = 0; r < rounds; r++)); do
    local order=("${sides[@]}")
    if ((r % 2)); then
      order=()
      for ((i = ${#sides[@]} - 1; i >= 0; i--)); do order+=("${sides[i]}"); done
    fi
    for s in "${order[@]}"; do
      case $s in
        service)
          out=$("$build/bench/tirvan-thumb-bench" run --service-port "$port" --service-pid "$pid" \
            --list "$work/share" --rounds 1 --listings-to "$work/$kind.listings" "${files[@]}")
          echo "$out" >>"$work/$kind.service.lines"
          field "$out" per_second >>"$work/$kind.service" ;;
        bare)
          field "$("$build/bench/tirvan-thumb-bench" loop --rounds 1 "${files[@]}")" per_second \
            >>"$work/$kind.bare" ;;
        vips)
          rate "$n" "$vips" -s '160x120!' -o "$work/out-vips/%s.jpg[Q=75]" "${files[@]}" \
            >>"$work/$kind.vips" ;;
        magick)
          if [[ $kind == jpeg ]]; then
            rate "$n" "$magick" -define jpeg:size=160x120 "${files[@]}" -thumbnail '160x120!' \
              -quality 75 "$work/out-magick/t-%d.jpg" >>"$work/$kind.magick"
          else
            rate "$n" "$magick" "${files[@]}" -thumbnail '160x120!' -quality 75 \
              "$work/out-magick/b-%d.jpg" >>"$work/$kind.magick"
          fi ;;
      esac
    done
  done
  for s in "${sides[@]}"; do bench_stat "${kind}_${s}_per_s" 2 <"$work/$kind.$s"; done
  for s in "${sides[@]:1}"; do
    paste "$work/$kind.service" "$work/$kind.$s" | awk '{ print $1 / $2 }' |
      bench_stat "${kind}_ratio_service_${s}"
  done
  awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^p95_ms=/) print substr($i, 8) }' \
    "$work/$kind.service.lines" | bench_stat "${kind}_service_p95_ms" 1
  awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^peak_rss_mib=/) print substr($i, 14) }' \
    "$work/$kind.service.lines" | bench_stat "${kind}_service_peak_rss_mib" 1
  bench_latency "${kind}_listing_ms" <"$work/$kind.listings"
}

echo
echo "== JPEG batch: ${#jpegs[@]} pictures, $rounds alternating rounds at 160x120 (target: service/vipsthumbnail >= 1.5)"
batch jpeg "${jpegs[@]}"
echo
echo "== BMP batch: ${#bmp_files[@]} pictures, $rounds alternating rounds at 160x120 (target: service/vipsthumbnail >= 1.5)"
batch bmp "${bmp_files[@]}"
