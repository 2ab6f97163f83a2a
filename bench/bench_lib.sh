# Shared scene for the download benchmarks, sourced by them: a TirvanClient installed in a
# fresh root sharing $work/share, and nginx serving the same folder on loopback.
#   bench_start_service NAME   sets port and pid
#   bench_start_nginx          sets nport and npid (nginx's worker, which sends)
#   bench_free_port            prints a free loopback port
# The caller sets build and work, and calls bench_cleanup on exit.

bench_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

bench_need_nginx() {
  if ! command -v nginx >/dev/null; then
    echo "installing nginx-light for the reference server"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nginx-light
  fi
}

bench_start_service() {
  bench_name=$1
  export TIRVAN_SCM=builtin TIRVAN_SCM_DIR="$work/scm" TIRVAN_LOCK_DIR="$work/lock"
  unset NOTIFY_SOCKET INVOCATION_ID TIRVAN_SCM_SERVICE
  mkdir -p "$work/scm" "$work/lock" "$work/share"
  port=$(bench_free_port)
  "$build/service/app/tirvan-setup" --root "$work/root" --port "$port" --log-priority 600 \
    --share "$work/share" >/dev/null
  cp "$build/service/app/TirvanClient" "$work/root/bin/TirvanClient"
  "$work/root/bin/TirvanClient" -i "$bench_name" >/dev/null
  "$build/platform/tirvan-sc" start "$bench_name" >/dev/null
  pid=""
  for p in /proc/[0-9]*; do
    if [[ "$(readlink "$p/exe" 2>/dev/null)" == "$work/root/bin/TirvanClient" ]]; then pid=${p#/proc/}; fi
  done
  [[ -n "$pid" ]] || { echo "the service did not start" >&2; return 1; }
}

bench_start_nginx() {
  mkdir -p "$work/nginx"
  nport=$(bench_free_port)
  cat > "$work/nginx/nginx.conf" <<CONF
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
CONF
  nginx -c "$work/nginx/nginx.conf" -p "$work/nginx"
  for _ in $(seq 1 100); do [[ -f "$work/nginx/nginx.pid" ]] && break; sleep 0.05; done
  npid=$(pgrep -P "$(cat "$work/nginx/nginx.pid")" nginx | head -n 1 || true)
}

bench_cleanup() {
  [[ -n "${bench_name:-}" ]] && "$build/platform/tirvan-sc" stop "$bench_name" >/dev/null 2>&1 || true
  [[ -f "$work/nginx/nginx.pid" ]] && kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null || true
  rm -rf "$work"
}

# bench_stat NAME [DECIMALS] < VALUES: "stat NAME median=.. min=.. max=.. n=..", the same
# line the benchmark programs print (bench_stats.h), over one value a line.
bench_stat() {
  sort -g | awk -v name="$1" -v d="${2:-2}" '{ v[NR] = $1 } END {
      if (NR == 0) exit
      m = v[int(0.5 * (NR - 1) + 0.5) + 1]
      printf "stat %s median=%.*f min=%.*f max=%.*f n=%d\n", name, d, m, d, v[1], d, v[NR], NR }'
}
# bench_latency NAME < MILLISECONDS: "latency NAME p50=.. p99=.. max=.. n=..".
bench_latency() {
  sort -g | awk -v name="$1" '{ v[NR] = $1 } END {
      if (NR == 0) exit
      printf "latency %s p50=%.2f p99=%.2f max=%.2f n=%d\n", name, v[int(0.5 * (NR - 1) + 0.5) + 1],
        v[int(0.99 * (NR - 1) + 0.5) + 1], v[NR], NR }'
}
# bench_now: the time in seconds, with nanoseconds.
bench_now() { date +%s.%N; }
