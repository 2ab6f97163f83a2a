#!/usr/bin/env bash
# Runs every benchmark in one go and prints one table: each figure, its reference, the
# ratio, the goal and whether it holds. Downloads by the service (against nginx, and 4,
# 16 and 64 at once) and by tirvan-device (against curl from nginx), uploads (against a
# plain TCP-to-file copy), thumbnails (against vipsthumbnail, ImageMagick and a bare
# libjpeg loop), relayed transfers (the download against the stop-and-wait bound), UDT
# downloads (against plain UDT with messages of a package's size) and the tray program's
# start-up (against a minimal Qt tray program).
#
#   bench/run_all.sh [BUILD_DIR]      (default: build)
#
# Every benchmark runs its own rounds (7 unless set: TIRVAN_BENCH_DOWNLOAD_ROUNDS,
# TIRVAN_BENCH_DEVICE_ROUNDS, TIRVAN_BENCH_UPLOAD_ROUNDS, TIRVAN_BENCH_THUMB_ROUNDS,
# TIRVAN_BENCH_RELAY_ROUNDS, TIRVAN_BENCH_UDT_ROUNDS; the tray's TIRVAN_BENCH_TRAY_ROUNDS,
# 9; the downloads at once TIRVAN_BENCH_CONCURRENT_ROUNDS, 3), alternating ours and the
# reference, and checks every file received whole against its source. A value is the
# median of the rounds with their lowest and highest in brackets; a ratio is the median
# of the rounds' own ratios (lowest-highest); a latency is the 99th percentile of all
# samples (their number in brackets). The sizes: TIRVAN_BENCH_MIB (the download and
# upload file, default 256; the device client's download takes at least 256),
# TIRVAN_BENCH_JPEGS and TIRVAN_BENCH_BMPS (thumbnails: JPEGs of each of 4 kinds and BMPs,
# default 5 and 3), TIRVAN_BENCH_DELAYS (relay answer delays in ms, default "1 10"),
# TIRVAN_BENCH_UDT_MIB (default 32), TIRVAN_BENCH_CONCURRENT (the downloads at once,
# "4,16,64"; the first is the one the others' throughput is compared with). Each
# benchmark's own output is kept in a folder named at the end; one that fails shows
# "failed" in its rows and the others still run.
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
export TIRVAN_BENCH_MIB=${TIRVAN_BENCH_MIB:-256}
export TIRVAN_BENCH_JPEGS=${TIRVAN_BENCH_JPEGS:-5}
export TIRVAN_BENCH_BMPS=${TIRVAN_BENCH_BMPS:-3}
export TIRVAN_BENCH_DELAYS=${TIRVAN_BENCH_DELAYS:-"1 10"}
udt_mib=${TIRVAN_BENCH_UDT_MIB:-32}
udt_rounds=${TIRVAN_BENCH_UDT_ROUNDS:-7}

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
# row BENCH FIGURE VALUE REFERENCE RATIO [GOAL [JUDGED]]: JUDGED (default the ratio's
# median) is the number the goal is about; GOAL is "OP NUMBER" with an optional unit.
row() {
  local ratio=${5:--} goal=${6:--}
  local judged=${7-${ratio%% *}}
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

# sget FILE NAME FIELD: a field (median, min, max, n) of the line "stat NAME ...";
# lget the same of "latency NAME ..." (p50, p99, max, n).
sget() { sed -n "s/^stat $2 .*\b$3=\([^ ]*\).*/\1/p" "$1" | head -n 1; }
lget() { sed -n "s/^latency $2 .*\b$3=\([^ ]*\).*/\1/p" "$1" | head -n 1; }
# spread FILE NAME [UNIT]: "MEDIAN UNIT (MIN-MAX)", "-" when the line is missing.
spread() {
  local m
  m=$(sget "$1" "$2" median)
  [[ -n $m ]] || { echo "-"; return; }
  echo "$m${3:+ $3} ($(sget "$1" "$2" min)-$(sget "$1" "$2" max))"
}
# p99 FILE NAME: "P99 ms (N)".
p99() {
  local v
  v=$(lget "$1" "$2" p99)
  [[ -n $v ]] && echo "$v ms ($(lget "$1" "$2" n))" || echo "-"
}

# ---- Downloads: TirvanClient against nginx with sendfile, then downloads at once.
if run download bash "$here/bench/download_bench.sh" "$build"; then
  f=$logs/download.log
  row download "LAN download, ${TIRVAN_BENCH_MIB} MiB" "$(spread "$f" service_mib_s MiB/s)" \
    "nginx $(spread "$f" http_mib_s)" "$(spread "$f" ratio)" ">= 1.0"
  row download "  CPU per GiB" "$(spread "$f" service_cpu_ms_per_gib ms)" \
    "nginx $(spread "$f" http_cpu_ms_per_gib)" "$(spread "$f" cpu_ratio)" "<= 1.2"
  row download "  peak RSS, one download" "$(spread "$f" rss_one_mib MiB)" "-" "-" "< 64 MiB" \
    "$(sget "$f" rss_one_mib max)"
  row download "  listing latency meanwhile (p99)" "$(p99 "$f" listing_during_download_ms)" \
    "idle $(p99 "$f" listing_idle_ms)" "-" "< 20 ms" "$(lget "$f" listing_during_download_ms p99)"
  for n in $(tr ',' ' ' <<<"${TIRVAN_BENCH_CONCURRENT:-4,16,64}"); do
    c=concurrent_$n
    row download "  $n at once: aggregate" "$(spread "$f" ${c}_mib_s MiB/s)" "-" \
      "$(spread "$f" ${c}_vs_4_ratio)" "$([[ $n == 16 ]] && echo '>= 1.0' || echo -)"
    row download "  $n at once: peak RSS" "$(spread "$f" ${c}_peak_rss_mib MiB)" "-" "-" \
      "< 64 MiB" "$(sget "$f" ${c}_peak_rss_mib max)"
    row download "  $n at once: RSS after" "$(spread "$f" ${c}_after_rss_mib MiB)" \
      "before $(spread "$f" ${c}_idle_rss_mib)" "-" "< 4 MiB more" \
      "$(awk -v a="$(sget "$f" ${c}_after_rss_mib max)" -v b="$(sget "$f" ${c}_idle_rss_mib min)" \
          'BEGIN { if (a == "" || b == "") print "-"; else print a - b }')"
  done
  row download "  listing latency, 64 at once (p99)" "$(p99 "$f" listing_during_concurrent_ms)" "-" "-"
else
  row download "LAN download" failed - -
fi

# ---- The device client: tirvan-device get and ls against curl from nginx.
if TIRVAN_BENCH_MIB=$((TIRVAN_BENCH_MIB > 256 ? TIRVAN_BENCH_MIB : 256)) \
    run device bash "$here/bench/device_bench.sh" "$build"; then
  f=$logs/device.log
  row device "tirvan-device get" "$(spread "$f" device_mib_s MiB/s)" "curl $(spread "$f" curl_mib_s)" \
    "$(spread "$f" ratio)" ">= 1.0"
  row device "  CPU per GiB" "$(spread "$f" device_cpu_s_per_gib s)" \
    "curl $(spread "$f" curl_cpu_s_per_gib)" "$(spread "$f" cpu_ratio)" "<= 1.0"
  row device "tirvan-device ls (idle)" "$(spread "$f" device_ls_ms ms)" \
    "curl page $(spread "$f" curl_page_ms)" "$(spread "$f" ls_ratio)" "<= 3.0"
else
  row device "tirvan-device" failed - -
fi

# ---- Uploads: TirvanClient against a plain TCP-to-file copy.
if run upload bash "$here/bench/upload_bench.sh" "$build"; then
  f=$logs/upload.log
  row upload "LAN upload, ${TIRVAN_BENCH_MIB} MiB" "$(spread "$f" service_mib_s MiB/s)" \
    "tcp-to-file $(spread "$f" copy_mib_s)" "$(spread "$f" ratio)" ">= 1.0"
  calls=$(sed -n 's/^system calls per message \([0-9.]*\).*/\1/p' "$f")
  [[ -n "$calls" ]] && row upload "  system calls per 64 KB message" "$calls (one upload)" "-" "-" \
    "<= 2" "$calls"
else
  row upload "LAN upload" failed - -
fi

# ---- Thumbnails: the service against vipsthumbnail, convert and a bare libjpeg loop.
if run thumb bash "$here/bench/thumb_bench.sh" "$build"; then
  f=$logs/thumb.log
  row thumb "JPEG 4000x3000 -> 160x120 ($((TIRVAN_BENCH_JPEGS * 4)))" "$(spread "$f" jpeg_service_per_s /s)" \
    "vipsthumbnail $(spread "$f" jpeg_vips_per_s)" "$(spread "$f" jpeg_ratio_service_vips)" ">= 1.5"
  row thumb "" "" "convert $(spread "$f" jpeg_magick_per_s)" "$(spread "$f" jpeg_ratio_service_magick)"
  row thumb "" "" "bare libjpeg loop $(spread "$f" jpeg_bare_per_s)" \
    "$(spread "$f" jpeg_ratio_service_bare)"
  row thumb "  p95 latency" "$(spread "$f" jpeg_service_p95_ms ms)" "-" "-"
  row thumb "  peak RSS" "$(spread "$f" jpeg_service_peak_rss_mib MiB)" "-" "-"
  row thumb "  listing latency meanwhile (p99)" "$(p99 "$f" jpeg_listing_ms)" "-" "-" "< 20 ms" \
    "$(lget "$f" jpeg_listing_ms p99)"
  row thumb "BMP 4000x3000 -> 160x120 ($TIRVAN_BENCH_BMPS)" "$(spread "$f" bmp_service_per_s /s)" \
    "vipsthumbnail $(spread "$f" bmp_vips_per_s)" "$(spread "$f" bmp_ratio_service_vips)" ">= 1.5"
  row thumb "" "" "convert $(spread "$f" bmp_magick_per_s)" "$(spread "$f" bmp_ratio_service_magick)"
else
  row thumb "thumbnails" failed - -
fi

# ---- Relayed transfers: the download against the bound of 1,000 bytes per round trip;
# the upload, which moves whole messages per poll, on its own.
if run relay bash "$here/bench/relay_bench.sh" "$build"; then
  f=$logs/relay.log
  for delay in $TIRVAN_BENCH_DELAYS; do
    d=delay_${delay}_
    row relay "download, ${delay} ms answer delay" "$(spread "$f" ${d}download_kb_s KB/s)" \
      "bound $(spread "$f" ${d}bound_kb_s)" "$(spread "$f" ${d}download_of_bound)"
    row relay "upload, ${delay} ms answer delay" "$(spread "$f" ${d}upload_kb_s KB/s)" "-" "-"
  done
else
  row relay "relayed transfers" failed - -
fi

# ---- UDT: a download over the P2P transport against plain UDT with messages of about a
# package's size (1 KiB).
if run udt "$build/bench/tirvan-udt-bench" "$udt_mib" 1 "$udt_rounds"; then
  f=$logs/udt.log
  row udt "download over UDT, ${udt_mib} MiB" "$(spread "$f" download_mb_s MB/s)" \
    "plain UDT $(spread "$f" plain_mb_s)" "$(spread "$f" ratio)" ">= 0.9"
else
  row udt "download over UDT" failed - -
fi

# ---- Tray start-up: Tirvan against a minimal Widgets program with one tray icon.
# tspread FILE NAME SIDE [UNIT]: "MEDIAN UNIT (MIN-MAX)" of a "tray_figure name=NAME" line,
# SIDE tirvan, ref or ratio.
tget() { sed -n "s/^tray_figure name=$2 .*\b$3=\([^ ]*\).*/\1/p" "$1" | head -n 1; }
tspread() {
  local m
  m=$(tget "$1" "$2" "$3")
  [[ -n $m ]] || { echo "-"; return; }
  echo "$m${4:+ $4} ($(tget "$1" "$2" "$3_min")-$(tget "$1" "$2" "$3_max"))"
}
if [[ -x "$build/tray/Tirvan" && -x "$build/bench/tirvan-tray-startup-ref" ]]; then
  if run tray bash "$here/bench/tray_startup_bench.sh" "$build"; then
    f=$logs/tray.log
    for figure in "start_launch_ms|start to idle loop|ms" "rss_idle_kib|resident memory at first idle|KiB" \
                  "rss_late_kib|resident memory 5 s after start|KiB"; do
      IFS='|' read -r name label unit <<<"$figure"
      row tray "$label" "$(tspread "$f" "$name" tirvan "$unit")" \
        "minimal tray $(tspread "$f" "$name" ref)" "$(tspread "$f" "$name" ratio)" "<= 1.5"
    done
  else
    row tray "tray start-up" failed - -
  fi
fi

table() {
  local fmt='%-9s | %-38s | %-34s | %-44s | %-21s | %-12s | %s\n'
  printf "$fmt" benchmark figure "value (median, min-max)" "reference" "ratio" goal holds
  printf "$fmt" "---------" "--------------------------------------" \
    "----------------------------------" "--------------------------------------------" \
    "---------------------" "------------" "-----"
  for r in "${rows[@]}"; do
    IFS='|' read -r b fig val ref rat goal ok <<<"$r"
    printf "$fmt" "$b" "$fig" "$val" "$ref" "$rat" "$goal" "$ok"
  done
}
echo
table | tee "$logs/table.txt"
echo
echo "each benchmark's own output: $logs"
