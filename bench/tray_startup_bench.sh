#!/usr/bin/env bash
# The tray start-up benchmark, run by hand: how long Tirvan takes from its start until
# its tray icon is set and its event loop first idles, and its resident memory then and
# again a few seconds after its start (once the banner fetch, the update check and the
# rest of its first seconds are done), beside the same figures of a minimal Qt Widgets
# program with one tray icon (tirvan-tray-startup-ref). Both run under Xvfb with trayer
# as the tray host, on a free display, in alternating rounds. Tirvan's web server is a
# local tirvan-web over HTTPS that serves the banner and a version page offering no newer
# version, so the banner fetch and the update check do their whole work.
#
#   bench/tray_startup_bench.sh [BUILD_DIR]      (default: build)
#
# TIRVAN_BENCH_TRAY_ROUNDS sets the rounds (default 9, at least 7 for a judged figure);
# TIRVAN_BENCH_TRAY_LATE_MS when the second memory sample is taken, in ms after the
# process started (default 5000). Both programs print their figures through their
# start-up probe (TIRVAN_STARTUP_PROBE, TIRVAN_STARTUP_PROBE_LATE_MS) and quit on their own.
#
# Each figure is printed as the median of its rounds with their min-max, and the ratio as
# the median of the per-round ratios (Tirvan's round i against the reference's round i)
# with their min-max; one machine-readable line per figure follows the table:
#   tray_figure name=NAME tirvan=MED tirvan_min=.. tirvan_max=.. ref=MED ref_min=.. ref_max=..
#               ratio=MED ratio_min=.. ratio_max=.. rounds=N
# with NAME start_launch_ms, start_proc_ms, rss_idle_kib, rss_late_kib.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
rounds=${TIRVAN_BENCH_TRAY_ROUNDS:-9}
late_ms=${TIRVAN_BENCH_TRAY_LATE_MS:-5000}
((rounds >= 1)) || { echo "TIRVAN_BENCH_TRAY_ROUNDS must be at least 1" >&2; exit 1; }
((rounds >= 7)) || echo "note: $rounds rounds, fewer than the 7 a judged figure needs" >&2
tirvan=$build/tray/Tirvan
ref=$build/bench/tirvan-tray-startup-ref
web=$build/peers/web/tirvan-web
for prog in "$tirvan" "$build/tray/tirvan-fetch" "$ref" "$web"; do
  [[ -x $prog ]] || { echo "missing $prog: build Tirvan, tirvan-fetch, tirvan-tray-startup-ref and tirvan-web first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/tirvan-tray-startup.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody holds.
display=""
for n in $(seq 90 199); do
  if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then display=:$n; break; fi
done
[[ -n $display ]] || { echo "no free display number" >&2; exit 1; }

# wait_for SECONDS COMMAND...: polls until the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
wait_for 10 xdpyinfo || { echo "Xvfb did not start on $display" >&2; cat "$work/xvfb.log" >&2; exit 1; }
trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
  >"$work/trayer.log" 2>&1 &
pids+=($!)
# The tray host is up once it owns the system tray selection of screen 0.
tray_owned() { xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null && xwininfo -root -tree | grep -qi trayer; }
wait_for 10 tray_owned || { echo "trayer did not come up" >&2; cat "$work/trayer.log" >&2; exit 1; }

# The maker's web server: the banner pages and a version page that offers this version.
mkdir -p "$work/site/tirvan"
cp "$here"/peers/web/site/tirvan/banner-*.html "$work/site/tirvan/"
version=$(sed -n 's/^project(Tirvan VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
printf '{"version":"%s.0","down":"{base}/files/none","md5":"0","size":"0"}\n' "$version" \
  >"$work/site/tirvan/update-pc.txt"
cat >"$work/site/manifest" <<'MANIFEST'
/tirvan/update-pc.html file=tirvan/update-pc.txt type=text/html;charset=utf-8 expand
/tirvan/bannerpc?L=cn file=tirvan/banner-cn.html
/tirvan/bannerpc?L=en file=tirvan/banner-en.html
/tirvan/bannerpc?L=tw file=tirvan/banner-tw.html
/tirvan/bannerpc file=tirvan/banner-en.html
MANIFEST
sh "$here/peers/web/make-test-ca.sh" "$work/ca"
"$web" --manifest "$work/site/manifest" --cert "$work/ca/server.pem" --key "$work/ca/server.key" \
  >"$work/web.log" 2>&1 &
pids+=($!)
web_port() { sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/web.log" | head -1; }
wait_for 10 grep -q '^listening on' "$work/web.log" || { echo "tirvan-web did not start" >&2; cat "$work/web.log" >&2; exit 1; }
port=$(web_port)

# Both programs see the same plain session: no D-Bus session (so both dock through the
# X tray protocol), their own home and runtime folders.
unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.state
export XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=xcb
export TIRVAN_STARTUP_PROBE=1 TIRVAN_STARTUP_PROBE_LATE_MS=$late_ms
# The tray program's web server and its service stay on this machine.
export TIRVAN_WEB_BASE=https://127.0.0.1:$port TIRVAN_BLOG_BASE=https://127.0.0.1:$port
export TIRVAN_WEB_CA=$work/ca/ca.pem TIRVAN_SCM=builtin TIRVAN_SCM_DIR=$work/scm
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# run_one PROGRAM: one start; prints "launch_ms elapsed_ms rss_idle_kib rss_late_kib".
run_one() {
  local out idle late
  out=$(TIRVAN_STARTUP_T0_NS=$(date +%s%N) timeout 60 "$1" 2>>"$work/programs.log" | grep '^startup_probe')
  idle=$(grep -m1 '^startup_probe ' <<<"$out" || true)
  late=$(grep -m1 '^startup_probe_late ' <<<"$out" || true)
  [[ -n $idle && -n $late ]] || { echo "no probe lines from $1 (see below)" >&2; tail -20 "$work/programs.log" >&2; exit 1; }
  echo "$(sed -n 's/.*elapsed_ms=\([^ ]*\) launch_ms=\([^ ]*\) rss_kib=\([^ ]*\).*/\2 \1 \3/p' <<<"$idle")" \
    "$(sed -n 's/.*rss_kib=\([^ ]*\).*/\1/p' <<<"$late")"
}

# One warm-up start of each, so both find the fonts and libraries in the page cache.
run_one "$tirvan" >/dev/null
run_one "$ref" >/dev/null
: >"$work/tirvan.txt"
: >"$work/ref.txt"
for ((i = 0; i < rounds; i++)); do
  if ((i % 2 == 0)); then
    run_one "$tirvan" >>"$work/tirvan.txt"
    run_one "$ref" >>"$work/ref.txt"
  else
    run_one "$ref" >>"$work/ref.txt"
    run_one "$tirvan" >>"$work/tirvan.txt"
  fi
done
# The web server saw each of Tirvan's starts fetch the banner and the version page.
banners=$(grep -c 'GET /tirvan/bannerpc.* -> 200' "$work/web.log" || true)
checks=$(grep -c 'GET /tirvan/update-pc.html -> 200' "$work/web.log" || true)

# stats FORMAT VALUES...: "median min max" (the median of an even count is the mean of the
# middle two), each printed with FORMAT.
stats() {
  local format=$1
  shift
  printf '%s\n' "$@" | sort -g | awk -v f="$format" '{v[NR] = $1} END {
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf f " " f " " f "\n", m, v[1], v[NR] }'
}
ratios() {  # column: Tirvan's round i over the reference's round i
  paste -d' ' "$work/tirvan.txt" "$work/ref.txt" | awk -v c="$1" -v n="$(awk 'END {print NF}' "$work/tirvan.txt")" '{
      r = $(c + n); if (r + 0 == 0) print "0"; else printf "%.4f\n", $c / r }'
}
column() { awk -v c="$2" '{print $c}' "$1"; }

echo "tray start-up, $rounds alternating rounds under Xvfb $display with trayer; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Tirvan's starts fetched the banner $banners times and the version page $checks times (of $((rounds + 1)))"
echo "values: median [min-max] of the rounds; ratio: median [min-max] of the per-round ratios"
printf '  %-44s %-26s %-26s %s\n' figure Tirvan reference ratio
machine=()
figure() {  # name label column
  local t r q
  read -r t tmin tmax < <(stats %.1f $(column "$work/tirvan.txt" "$3"))
  read -r r rmin rmax < <(stats %.1f $(column "$work/ref.txt" "$3"))
  read -r q qmin qmax < <(stats %.2f $(ratios "$3"))
  printf '  %-44s %-26s %-26s %s\n' "$2" "$t [$tmin-$tmax]" "$r [$rmin-$rmax]" "$q [$qmin-$qmax]"
  machine+=("tray_figure name=$1 tirvan=$t tirvan_min=$tmin tirvan_max=$tmax ref=$r ref_min=$rmin ref_max=$rmax ratio=$q ratio_min=$qmin ratio_max=$qmax rounds=$rounds")
}
figure start_launch_ms "start to idle loop, from launch (ms)" 1
figure start_proc_ms "start to idle loop, /proc start (ms)" 2
figure rss_idle_kib "resident memory at first idle (KiB)" 3
figure rss_late_kib "resident memory ${late_ms} ms after start (KiB)" 4
echo "target: ratio at most 1.50 for each"
printf '%s\n' "${machine[@]}"
