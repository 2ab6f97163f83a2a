#!/usr/bin/env bash
# The tray start-up benchmark, run by hand: how long Tirvan takes from its start until
# its tray icon is set and its event loop first idles, and its resident memory then,
# beside the same figures of a minimal Qt Widgets program with one tray icon
# (tirvan-tray-startup-ref). Both run under Xvfb with trayer as the tray host, on a free
# display, in alternating rounds; the figures are medians.
#
#   bench/tray_startup_bench.sh [BUILD_DIR]      (default: build)
#
# TIRVAN_BENCH_TRAY_ROUNDS sets the rounds (default 15). Both programs print their figures
# through their start-up probe (TIRVAN_STARTUP_PROBE) and quit on their own.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
rounds=${TIRVAN_BENCH_TRAY_ROUNDS:-15}
tirvan=$build/tray/Tirvan
ref=$build/bench/tirvan-tray-startup-ref
for prog in "$tirvan" "$ref"; do
  [[ -x $prog ]] || { echo "missing $prog: build Tirvan and tirvan-tray-startup-ref first" >&2; exit 1; }
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

# Both programs see the same plain session: no D-Bus session (so both dock through the
# X tray protocol), their own home and runtime folders.
unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.state
export XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=xcb TIRVAN_STARTUP_PROBE=1
# The tray program's update check and its service stay on this machine.
export TIRVAN_WEB_BASE=https://127.0.0.1:9 TIRVAN_BLOG_BASE=https://127.0.0.1:9 TIRVAN_SCM=builtin TIRVAN_SCM_DIR=$work/scm
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# run_one PROGRAM: one start; prints "launch_ms elapsed_ms rss_kib".
run_one() {
  local out
  out=$(TIRVAN_STARTUP_T0_NS=$(date +%s%N) timeout 30 "$1" 2>>"$work/programs.log" | grep -m1 '^startup_probe')
  [[ -n $out ]] || { echo "no probe line from $1 (see below)" >&2; tail -20 "$work/programs.log" >&2; exit 1; }
  sed -n 's/.*elapsed_ms=\([^ ]*\) launch_ms=\([^ ]*\) rss_kib=\([^ ]*\).*/\2 \1 \3/p' <<<"$out"
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

median() {  # file column
  awk -v c="$2" '{print $c}' "$1" | sort -g | awk '{v[NR] = $1} END {
      if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }

t_launch=$(median "$work/tirvan.txt" 1); r_launch=$(median "$work/ref.txt" 1)
t_stat=$(median "$work/tirvan.txt" 2); r_stat=$(median "$work/ref.txt" 2)
t_rss=$(median "$work/tirvan.txt" 3); r_rss=$(median "$work/ref.txt" 3)
echo "tray start-up, $rounds alternating rounds under Xvfb $display with trayer (medians)"
printf '  %-38s %10s %10s %8s\n' figure Tirvan reference ratio
printf '  %-38s %10s %10s %8s\n' "start to idle loop, from launch (ms)" "$t_launch" "$r_launch" "$(ratio "$t_launch" "$r_launch")"
printf '  %-38s %10s %10s %8s\n' "start to idle loop, /proc start (ms)" "$t_stat" "$r_stat" "$(ratio "$t_stat" "$r_stat")"
printf '  %-38s %10s %10s %8s\n' "resident memory then (KiB)" "$t_rss" "$r_rss" "$(ratio "$t_rss" "$r_rss")"
echo "target: at most 1.50 in both"

# The same figures as the other benchmarks print them for run_all.sh: each side's rounds
# and the rounds' own ratios, as median with lowest and highest.
. "$here/bench/bench_lib.sh"
awk '{ print $1 }' "$work/tirvan.txt" | bench_stat tray_launch_ms 1
awk '{ print $1 }' "$work/ref.txt" | bench_stat ref_launch_ms 1
paste "$work/tirvan.txt" "$work/ref.txt" | awk '{ print $1 / $4 }' | bench_stat launch_ratio
awk '{ print $3 }' "$work/tirvan.txt" | bench_stat tray_rss_kib 0
awk '{ print $3 }' "$work/ref.txt" | bench_stat ref_rss_kib 0
paste "$work/tirvan.txt" "$work/ref.txt" | awk '{ print $3 / $6 }' | bench_stat rss_ratio
