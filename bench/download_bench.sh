#!/usr/bin/env bash
# The download benchmark, run by hand: one file (1 GiB unless TIRVAN_BENCH_MIB says
# otherwise) downloaded over loopback from TirvanClient and from nginx serving it
# statically with sendfile, plus the service's peak memory and the latency of folder
# listings on a second connection during the download.
#
#   bench/download_bench.sh [BUILD_DIR]      (default: build)
#
# TIRVAN_BENCH_DOWNLOAD_ROUNDS sets the number of rounds (7 unless set); each round
# downloads the file once from each server, which goes first alternating, and the ratio
# is the median of the rounds' ratios.
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
if ! command -v nginx >/dev/null; then
  echo "installing nginx-light for the reference server"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx-light
fi

work=$(mktemp -d /tmp/tirvan-bench.XXXXXX)
export TIRVAN_SCM=builtin TIRVAN_SCM_DIR="$work/scm" TIRVAN_LOCK_DIR="$work/lock"
unset NOTIFY_SOCKET INVOCATION_ID TIRVAN_SCM_SERVICE
cleanup() {
  "$build/platform/tirvan-sc" stop "$name" >/dev/null 2>&1 || true
  [[ -f "$work/nginx/nginx.pid" ]] && kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/scm" "$work/lock" "$work/share" "$work/nginx"

echo "writing a $mib MiB file"
head -c "$((mib << 20))" /dev/urandom > "$work/share/big.bin"
for i in $(seq 1 20); do echo "entry $i" > "$work/share/small-$i.txt"; done

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
port=$(free_port)
"$build/service/app/tirvan-setup" --root "$work/root" --port "$port" --log-priority 600 \
  --share "$work/share" >/dev/null
cp "$build/service/app/TirvanClient" "$work/root/bin/TirvanClient"
"$work/root/bin/TirvanClient" -i "$name" >/dev/null
"$build/platform/tirvan-sc" start "$name" >/dev/null
pid=""
for p in /proc/[0-9]*; do
  if [[ "$(readlink "$p/exe" 2>/dev/null)" == "$work/root/bin/TirvanClient" ]]; then pid=${p#/proc/}; fi
done
[[ -n "$pid" ]] || { echo "the service did not start" >&2; exit 1; }

# nginx on a free loopback port.
nport=$(free_port)
cat > "$work/nginx/nginx.conf" <<EOF
user root;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  sendfile on;
  tcp_nopush on;
  access_log off;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:$nport;
    root $work/share;
  }
}
EOF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx"
for _ in $(seq 1 100); do [[ -f "$work/nginx/nginx.pid" ]] && break; sleep 0.05; done

# nginx's worker sends; its processor time is compared with the service's.
npid=$(pgrep -P "$(cat "$work/nginx/nginx.pid")" nginx | head -n 1 || true)

echo "service pid $pid on port $port, nginx on port $nport"
"$build/bench/tirvan-download-bench" --service-port "$port" --service-pid "$pid" \
  --remote "$work/share/big.bin" --list "$work/share" --size "$((mib << 20))" \
  --http-port "$nport" --http-path /big.bin ${npid:+--http-pid "$npid"} \
  ${TIRVAN_BENCH_DOWNLOAD_ROUNDS:+--runs "$TIRVAN_BENCH_DOWNLOAD_ROUNDS"}
