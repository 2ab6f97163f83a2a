#!/usr/bin/env bash
# The thumbnail benchmark, run by hand: 160 x 120 thumbnails of a batch of 4000 x 3000
# JPEGs (baseline, progressive, gray, CMYK) and of a 4000 x 3000 BMP, asked of
# TirvanClient by the device client over loopback, beside vipsthumbnail and ImageMagick's
# convert on the same files (each given the whole batch in one call) and a bare
# libjpeg-turbo loop in one process.
#
#   bench/thumb_bench.sh [BUILD_DIR]      (default: build)
#
# TIRVAN_BENCH_JPEGS sets the JPEGs of each kind (default 3), TIRVAN_BENCH_ROUNDS how often
# the service is asked for the batch (default 3). Installs Debian's libvips-tools and
# imagemagick when they are missing (apt-get, as root). Everything else lives in a
# temporary folder that is removed at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
per_kind=${TIRVAN_BENCH_JPEGS:-3}
rounds=${TIRVAN_BENCH_ROUNDS:-3}
name=TirvanThumbBench

for prog in service/app/TirvanClient service/app/tirvan-setup platform/tirvan-sc \
            bench/tirvan-thumb-bench; do
  [[ -x "$build/$prog" ]] || { echo "missing $build/$prog: build the project first" >&2; exit 1; }
done
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

echo "writing $((per_kind * 4)) JPEGs and a BMP of 4000 x 3000"
"$build/bench/tirvan-thumb-bench" make "$work/share" --jpegs "$per_kind"
jpegs=("$work"/share/*.jpg)
bmp="$work/share/photo.bmp"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
port=$(free_port)
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

# Pictures per second of one command over n pictures.
rate() {  # n command...
  local n=$1
  shift
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s.%N)
  python3 -c "import sys; n,a,b=int(sys.argv[1]),float(sys.argv[2]),float(sys.argv[3]); print(f'{n/(b-a):.2f}')" \
    "$n" "$t0" "$t1"
}
field() {  # line key
  sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" <<<"$1"
}
ratio() { python3 -c "import sys; print(f'{float(sys.argv[1])/float(sys.argv[2]):.2f}')" "$1" "$2"; }

n_jpeg=${#jpegs[@]}
echo
echo "== JPEG batch: $n_jpeg pictures x $rounds rounds at 160x120"
svc=$("$build/bench/tirvan-thumb-bench" run --service-port "$port" --service-pid "$pid" \
  --list "$work/share" --rounds "$rounds" "${jpegs[@]}")
echo "$svc"
bare=$("$build/bench/tirvan-thumb-bench" loop --rounds "$rounds" "${jpegs[@]}")
echo "$bare"
vips_rate=$(rate "$n_jpeg" "$vips" -s '160x120!' -o "$work/out-vips/%s.jpg[Q=75]" "${jpegs[@]}")
magick_rate=$(rate "$n_jpeg" "$magick" -define jpeg:size=160x120 "${jpegs[@]}" \
  -thumbnail '160x120!' -quality 75 "$work/out-magick/t-%d.jpg")
svc_rate=$(field "$svc" per_second)
echo "vipsthumbnail per_second=$vips_rate"
echo "convert per_second=$magick_rate"
echo "ratio service/vipsthumbnail=$(ratio "$svc_rate" "$vips_rate") (target >= 1.0)" \
     "service/convert=$(ratio "$svc_rate" "$magick_rate")" \
     "service/bare-loop=$(ratio "$svc_rate" "$(field "$bare" per_second)")"

echo
echo "== BMP: 1 picture x $rounds rounds at 160x120"
svc=$("$build/bench/tirvan-thumb-bench" run --service-port "$port" --service-pid "$pid" \
  --list "$work/share" --rounds "$rounds" "$bmp")
echo "$svc"
vips_rate=$(rate 1 "$vips" -s '160x120!' -o "$work/out-vips/%s.jpg[Q=75]" "$bmp")
magick_rate=$(rate 1 "$magick" "$bmp" -thumbnail '160x120!' -quality 75 "$work/out-magick/bmp.jpg")
svc_rate=$(field "$svc" per_second)
echo "vipsthumbnail per_second=$vips_rate"
echo "convert per_second=$magick_rate"
echo "ratio service/vipsthumbnail=$(ratio "$svc_rate" "$vips_rate")" \
     "service/convert=$(ratio "$svc_rate" "$magick_rate")"
