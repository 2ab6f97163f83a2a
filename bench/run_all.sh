#!/usr/bin/env bash
# Runs every benchmark in one go and prints one table: each figure, its reference, the
# ratio, the goal and whether it holds. Downloads by the service (against nginx) and by
# tirvan-device (against curl from nginx), uploads (against a plain TCP-to-file copy),
# thumbnails (against vipsthumbnail, ImageMagick and a bare libjpeg loop), relayed
# transfers (against the stop-and-wait bound) and UDT downloads (against plain UDT with
# messages of a package's size) and the tray program's start-up (against a minimal Qt
# tray program).
#
#   bench/run_all.sh [BUILD_DIR]      (default: build)
#
# The sizes are modest unless set in the environment: TIRVAN_BENCH_MIB (the download and
# upload file, default 256; the device client's download uses it too), TIRVAN_BENCH_RUNS (upload runs, default 3), TIRVAN_BENCH_JPEGS
# and TIRVAN_BENCH_ROUNDS (thumbnails, default 2 and 2), TIRVAN_BENCH_DELAYS (relay answer
# delays in ms, default "1 10"), TIRVAN_BENCH_UDT_MIB (default 32). Each benchmark's own
# output is kept in a folder named at the end; one that fails shows "failed" in its rows
# and the others still run.
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
export TIRVAN_BENCH_MIB=${TIRVAN_BENCH_MIB:-256}
export TIRVAN_BENCH_RUNS=${TIRVAN_BENCH_RUNS:-3}
export TIRVAN_BENCH_JPEGS=${TIRVAN_BENCH_JPEGS:-2}
export TIRVAN_BENCH_ROUNDS=${TIRVAN_BENCH_ROUNDS:-2}
export TIRVAN_BENCH_DELAYS=${TIRVAN_BENCH_DELAYS:-"1 10"}
udt_mib=${TIRVAN_BENCH_UDT_MIB:-32}

logs=$(mktemp -d /tmp/tirvan-bench-all.XXXXXX)
rows=()  # "benchmark|figure|value|reference|ratio|goal|holds"

# holds VALUE GOAL: "yes" or "no" when GOAL (">= 1.0", "<= 1.2", "< 64") judges VALUE,
# "-" when either is missing.
holds() {
  awk -v v="$1" -v g="$2" 'BEGIN {
      if (v == "" || v == "-" || g == "" || g == "-") { print "-"; exit }
      split(g, p, " "); op = p[1]; t = p[2] + 0; v += 0
      ok = (op == ">=") ? v >= t : (op == "<=") ? v <= t : (op == "<") ? v < t : (op == ">") ? v > t : -1
      print (ok < 0) ? "-" : (ok ? "yes" : "no")
    }'
}
# row BENCH FIGURE VALUE REFERENCE RATIO [GOAL [JUDGED]]: JUDGED (default RATIO) is the
# number the goal is about; GOAL is "OP NUMBER" with an optional unit after it.
row() {
  local ratio=${5:--} goal=${6:--}
  local judged=${7-$ratio}
  rows+=("$1|$2|$3|$4|$ratio|$goal|$(holds "$judged" "$goal")")
}

# run NAME COMMAND...: the benchmark's output goes to its log; 0 when it succeeded.
run() {
  local name=$1
  shift
  local t0=$SECONDS
  printf '%-10s running ... ' "$name" >&2
  if "$@" >"$logs/$name.log" 2>&1; then
    printf 'done in %d s\n' "$((SECONDS - t0))" >&2
    return 0
  fi
  printf 'FAILED after %d s (see %s)\n' "$((SECONDS - t0))" "$logs/$name.log" >&2
  return 1
}

# The first number after the text key on the first line that holds it (n: the n-th
# number after it, default 1).
num() {  # file key [n]
  grep -m1 -F -- "$2" "$1" | awk -v key="$2" -v n="${3:-1}" '{
      line = substr($0, index($0, key) + length(key)); k = 0
      while (match(line, /-?[0-9]+(\.[0-9]+)?/)) {
        if (++k == n) { print substr(line, RSTART, RLENGTH); exit }
        line = substr(line, RSTART + RLENGTH)
      }
    }'
}
# The value of key=VALUE on the m-th line that holds key= (default the first).
field() {  # file key [m]
  grep -F -- "$2=" "$1" | sed -n "${3:-1}p" | sed -n "s/.*\b$2=\([^ ]*\).*/\1/p"
}
div() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }

# ---- Downloads: TirvanClient against nginx with sendfile.
if run download bash "$here/bench/download_bench.sh" "$build"; then
  f=$logs/download.log
  svc=$(num "$f" "service throughput"); http=$(num "$f" "http throughput")
  scpu=$(num "$f" "processor time/GiB" 1); hcpu=$(num "$f" "processor time/GiB" 2)
  # The ratio is the bench's own: the median of its rounds' ratios.
  row download "LAN download, ${TIRVAN_BENCH_MIB} MiB" "$svc MiB/s" "nginx $http MiB/s" \
    "$(num "$f" "ratio service/http")" ">= 1.0"
  row download "  CPU per GiB" "$scpu ms" "nginx $hcpu ms" "$(num "$f" "ratio cpu service/http")" \
    "<= 1.2"
  rss=$(num "$f" "service peak RSS" 2)
  row download "  peak RSS, one download" "$rss MiB" "-" "-" "< 64 MiB" "$rss"
  rss=$(num "$f" "parallel peak RSS")
  row download "  peak RSS, 8 downloads at once" "$rss MiB" "-" "-" "< 64 MiB" "$rss"
  lat=$(num "$f" "listing latency" 2)
  row download "  listing latency meanwhile (max)" "$lat ms" "-" "-" "< 20 ms" "$lat"
else
  row download "LAN download" failed - -
fi

# ---- The device client: tirvan-device get and ls against curl from nginx.
if TIRVAN_BENCH_MIB=$((TIRVAN_BENCH_MIB > 256 ? TIRVAN_BENCH_MIB : 256)) \
    run device bash "$here/bench/device_bench.sh" "$build"; then
  f=$logs/device.log
  row device "tirvan-device get" "$(num "$f" "device get throughput") MiB/s" \
    "curl $(num "$f" "curl get throughput") MiB/s" "$(num "$f" "ratio device/curl")" ">= 1.0"
  row device "  CPU per GiB" "$(num "$f" "device cpu per GiB") s" \
    "curl $(num "$f" "curl cpu per GiB") s" "$(num "$f" "ratio cpu device/curl")" "<= 1.0"
  row device "tirvan-device ls (idle)" "$(num "$f" "device ls time") ms" \
    "curl page $(num "$f" "curl small page time") ms" "$(num "$f" "ratio ls device/curl")" "<= 3.0"
else
  row device "tirvan-device" failed - -
fi

# ---- Uploads: TirvanClient against a plain TCP-to-file copy.
if run upload bash "$here/bench/upload_bench.sh" "$build"; then
  f=$logs/upload.log
  svc=$(num "$f" "service upload"); copy=$(num "$f" "tcp-to-file copy")
  row upload "LAN upload, ${TIRVAN_BENCH_MIB} MiB" "$svc MiB/s" "tcp-to-file $copy MiB/s" \
    "$(div "$svc" "$copy")" ">= 1.0"
  calls=$(num "$f" "system calls per message")
  [[ -n "$calls" ]] && row upload "  system calls per 64 KB message" "$calls" "-" "-" "<= 2" "$calls"
else
  row upload "LAN upload" failed - -
fi

# ---- Thumbnails: the service against vipsthumbnail, convert and a bare libjpeg loop.
if run thumb bash "$here/bench/thumb_bench.sh" "$build"; then
  f=$logs/thumb.log
  svc=$(field "$f" per_second 1); bare=$(field "$f" per_second 2)
  vips=$(field "$f" per_second 3); magick=$(field "$f" per_second 4)
  row thumb "JPEG 4000x3000 -> 160x120" "$svc /s" "vipsthumbnail $vips /s" "$(div "$svc" "$vips")" ">= 1.5"
  row thumb "" "" "convert $magick /s" "$(div "$svc" "$magick")"
  row thumb "" "" "bare libjpeg loop $bare /s" "$(div "$svc" "$bare")"
  row thumb "  p95 latency, peak RSS" "$(field "$f" p95_ms 1) ms, $(field "$f" peak_rss_mib 1) MiB" "-" "-"
  p99=$(field "$f" listing_p99_ms 1)
  row thumb "  listing latency meanwhile (p99)" "$p99 ms, max $(field "$f" listing_max_ms 1)" "-" "-" \
    "< 20 ms" "$p99"
  bsvc=$(field "$f" per_second 5); bvips=$(field "$f" per_second 6); bmagick=$(field "$f" per_second 7)
  row thumb "BMP 4000x3000 -> 160x120" "$bsvc /s" "vipsthumbnail $bvips /s" "$(div "$bsvc" "$bvips")" ">= 1.5"
  row thumb "" "" "convert $bmagick /s" "$(div "$bsvc" "$bmagick")"
else
  row thumb "thumbnails" failed - -
fi

# ---- Relayed transfers: against the bound of 1,000 bytes per round trip.
if run relay bash "$here/bench/relay_bench.sh" "$build"; then
  f=$logs/relay.log
  i=0
  while IFS= read -r line; do
    i=$((i + 1))
    delay=$(sed -n 's/^answer delay \([0-9]*\) ms.*/\1/p' <<<"$line")
    bound=$(sed -n 's/.*per round trip = \([0-9.]*\) KB\/s.*/\1/p' <<<"$line")
    down=$(grep '^  download' "$f" | sed -n "${i}p")
    up=$(grep '^  upload' "$f" | sed -n "${i}p")
    row relay "download, ${delay} ms answer delay" "$(awk '{print $2}' <<<"$down") KB/s" \
      "bound $bound KB/s" "$(sed -n 's/.* \([0-9.]*\) of the bound.*/\1/p' <<<"$down")"
    row relay "upload, ${delay} ms answer delay" "$(awk '{print $2}' <<<"$up") KB/s" \
      "bound $bound KB/s" "$(sed -n 's/.* \([0-9.]*\) of the bound.*/\1/p' <<<"$up")"
  done < <(grep '^answer delay' "$f")
else
  row relay "relayed transfers" failed - -
fi

# ---- UDT: a download over the P2P transport against plain UDT with messages of about a
# package's size (1 KiB).
if run udt "$build/bench/tirvan-udt-bench" "$udt_mib" 1; then
  f=$logs/udt.log
  dl=$(num "$f" "packages):"); plain=$(num "$f" "messages:")
  row udt "download over UDT, ${udt_mib} MiB" "$dl MB/s" "plain UDT $plain MB/s" \
    "$(num "$f" "ratio download / plain:")" ">= 0.9"
else
  row udt "download over UDT" failed - -
fi

# ---- Tray start-up: Tirvan against a minimal Widgets program with one tray icon.
if [[ -x "$build/tray/Tirvan" && -x "$build/bench/tirvan-tray-startup-ref" ]]; then
  if run tray bash "$here/bench/tray_startup_bench.sh" "$build"; then
    f=$logs/tray.log
    row tray "start to idle loop (median)" "$(num "$f" "from launch (ms)") ms" \
      "minimal tray $(num "$f" "from launch (ms)" 2) ms" "$(num "$f" "from launch (ms)" 3)" "<= 1.5"
    row tray "resident memory then" "$(num "$f" "memory then (KiB)") KiB" \
      "minimal tray $(num "$f" "memory then (KiB)" 2) KiB" "$(num "$f" "memory then (KiB)" 3)" "<= 1.5"
  else
    row tray "tray start-up" failed - -
  fi
fi

table() {
  local fmt='%-9s | %-34s | %-22s | %-26s | %-5s | %-9s | %s\n'
  printf "$fmt" benchmark figure value reference ratio goal holds
  printf '%s\n' "----------+------------------------------------+------------------------+----------------------------+-------+-----------+------"
  for r in "${rows[@]}"; do
    IFS='|' read -r b fig val ref rat goal ok <<<"$r"
    printf "$fmt" "$b" "$fig" "$val" "$ref" "$rat" "$goal" "$ok"
  done
}
echo
table | tee "$logs/table.txt"
echo
echo "each benchmark's own output: $logs"
