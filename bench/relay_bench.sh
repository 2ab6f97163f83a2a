#!/usr/bin/env bash
# The relayed-transfer benchmark, run by hand: for each injected answer delay of
# tirvan-central (1 ms and 10 ms unless TIRVAN_BENCH_DELAYS says otherwise) a TirvanClient
# logs on to it, and tirvan-relay-bench downloads and uploads a file through it, printing
# the download's throughput beside the stop-and-wait bound of 1,000 bytes per round trip
# and the upload's alone, over rounds (TIRVAN_BENCH_RELAY_ROUNDS, 7 unless set).
#
#   bench/relay_bench.sh [BUILD_DIR]      (default: build)
#
# The service's upload poller pauses 20 ms between cycles here (TIRVAN_UPLOAD_POLL_MS)
# instead of 3 s, so the upload figure shows the transfer and not the wait for its start.
# Everything lives in a temporary folder that is removed at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
delays=${TIRVAN_BENCH_DELAYS:-"1 10"}
name=TirvanRelayBench
email=bench@tirvan.test
password=bench

for prog in service/app/TirvanClient service/app/tirvan-setup platform/tirvan-sc \
            peers/central/tirvan-central bench/tirvan-relay-bench; do
  [[ -x "$build/$prog" ]] || { echo "missing $build/$prog: build the project first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/tirvan-relay-bench.XXXXXX)
export TIRVAN_SCM=builtin TIRVAN_SCM_DIR="$work/scm" TIRVAN_LOCK_DIR="$work/lock"
export TIRVAN_UPNP_ROOT_URL=http://127.0.0.1:1/rootDesc.xml
export TIRVAN_UPLOAD_POLL_MS=20 TIRVAN_UPLOAD_BACKOFF_MS=10
unset NOTIFY_SOCKET INVOCATION_ID TIRVAN_SCM_SERVICE
central_pid=""
cleanup() {
  "$build/platform/tirvan-sc" stop "$name" >/dev/null 2>&1 || true
  [[ -n "$central_pid" ]] && kill "$central_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/scm" "$work/lock" "$work/share" "$work/local"

"$build/peers/central/tirvan-central" account add --db "$work/central.db" "$email" \
  --password "$password" >/dev/null
hash=$(python3 - "$work/central.db" "$email" <<'PY'
import sqlite3, sys
print(sqlite3.connect(sys.argv[1]).execute("select psw from accounts where email=?",
                                           (sys.argv[2],)).fetchone()[0])
PY
)

for delay in $delays; do
  rm -f "$work/central.out" "$work/state.json"
  "$build/peers/central/tirvan-central" --db "$work/central.db" --listen 127.0.0.1:0 \
    --state "$work/state.json" --answer-delay "$delay" --log "$work/central.log" \
    > "$work/central.out" &
  central_pid=$!
  for _ in $(seq 1 200); do grep -q "listening on" "$work/central.out" 2>/dev/null && break; sleep 0.05; done
  server=$(sed -n 's/^listening on //p' "$work/central.out")
  [[ -n "$server" ]] || { echo "tirvan-central did not start" >&2; exit 1; }

  rm -rf "$work/root"
  "$build/service/app/tirvan-setup" --root "$work/root" --port 0 --server "$server" \
    --share "$work/share" --log-priority 600 >/dev/null
  python3 - "$work/root/etc/Tirvan.db" "$email" "$hash" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("delete from qz_user")
db.execute("insert into qz_user(email, psw) values(?, ?)", (sys.argv[2], sys.argv[3]))
db.commit()
PY
  cp "$build/service/app/TirvanClient" "$work/root/bin/TirvanClient"
  "$work/root/bin/TirvanClient" -i "$name" >/dev/null
  "$build/platform/tirvan-sc" start "$name" >/dev/null

  station=""
  for _ in $(seq 1 400); do
    station=$(python3 - "$work/state.json" <<'PY' 2>/dev/null || true
import json, sys
s = json.load(open(sys.argv[1]))["stations"]
print(s[0]["station"] if len(s) == 1 and s[0]["loggedOn"] else "")
PY
)
    [[ -n "$station" ]] && grep -q "relay station=$station open" "$work/central.log" && break
    sleep 0.05
  done
  [[ -n "$station" ]] || { echo "the service did not log on" >&2; exit 1; }

  # About one and a half seconds of download at the bound a round; uploads move 65 KB per
  # round trip.
  dl=$(( 1500000 / delay ))
  ul=$(( 32 * 1024 * 1024 / delay ))
  "$build/bench/tirvan-relay-bench" --server "$server" --station "$station" --account "$email" \
    --hash "$hash" --share "$work/share" --local "$work/local" --delay "$delay" \
    --download-bytes "$dl" --upload-bytes "$ul" --rounds "${TIRVAN_BENCH_RELAY_ROUNDS:-7}"

  "$build/platform/tirvan-sc" stop "$name" >/dev/null
  "$work/root/bin/TirvanClient" -u "$name" >/dev/null 2>&1 || true
  kill "$central_pid"
  wait "$central_pid" 2>/dev/null || true
  central_pid=""
done
