#!/usr/bin/env bash
# Builds Tirvan, lays out an install root and runs the service TirvanClient in it under
# the built-in service manager.
#   bash scripts/run.sh [ROOT]
# ROOT defaults to ~/tirvan; an existing root is kept as it is (its database, its
# folders, its settings). TIRVAN_PORT sets the local port of a new root (15002, the
# port the tray program uses); TIRVAN_BUILD_DIR the build folder (build).
set -euo pipefail
cd "$(dirname "$0")/.."

service=Tirvan  # the name the tray program opens the service by
build=${TIRVAN_BUILD_DIR:-build}

bash scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target TirvanClient tirvan-setup tirvan-sc tirvan-device Tirvan tirvan-fetch

root=${1:-$HOME/tirvan}
mkdir -p "$root"
root=$(cd "$root" && pwd -P)

# The built-in manager keeps the service's record, status and output in the root.
export TIRVAN_SCM=builtin
export TIRVAN_SCM_DIR=$root/scm
mkdir -p "$TIRVAN_SCM_DIR" "$root/bin"
sc() { "$root/bin/tirvan-sc" "$@"; }
# Replaces a program by a rename, so a copy that is running keeps its file.
put() { cp "$1" "$2.new" && mv -f "$2.new" "$2"; }
put "$build/platform/tirvan-sc" "$root/bin/tirvan-sc"

stop_hint="TIRVAN_SCM=builtin TIRVAN_SCM_DIR=$root/scm $root/bin/tirvan-sc stop $service"
configured_port() {
  sqlite3 "$root/etc/Tirvan.db" "select ifnull(localport,0) from qz_conf limit 1" 2>/dev/null ||
    echo "?"
}
report() {
  local port pid
  port=$(configured_port)
  [[ $port == 0 ]] && port="one the system picked (see: ss -ltnp | grep TirvanClient)"
  pid=$(sed -n 's/^pid=//p' "$TIRVAN_SCM_DIR/$service.status" 2>/dev/null || true)
  echo "  install root  $root"
  echo "  process       ${pid:-?}"
  echo "  local port    $port"
  echo "  log           $root/log/Log.txt"
  echo "  output        $TIRVAN_SCM_DIR/$service.log"
  echo "  stop it with  $stop_hint"
}

state=$(sc query "$service" 2>/dev/null || true)
if [[ $state == RUNNING || $state == START_PENDING || $state == STOP_PENDING ]]; then
  echo "$service is already running ($state); nothing was started."
  report
  exit 1
fi

# A new root: the database with its schema and settings, the default folder with its
# picture, music, video and document folders, and a shared folder.
if [[ -e $root/etc/Tirvan.db ]]; then
  echo "Keeping the install root $root."
else
  mkdir -p "$root/Shared"
  "$build/service/app/tirvan-setup" --root "$root" --port "${TIRVAN_PORT:-15002}" \
    --share "$root/Shared"
fi
# The programs live in the root's bin folder: the root is the parent of its folder. The
# tray program's language and help files lie next to it, and tirvan-fetch, which runs its
# transfers.
put "$build/service/app/TirvanClient" "$root/bin/TirvanClient"
put "$build/tray/Tirvan" "$root/bin/Tirvan"
put "$build/tray/tirvan-fetch" "$root/bin/tirvan-fetch"
for f in "$build"/tray/*.qzl "$build"/tray/*.pdf; do put "$f" "$root/bin/$(basename "$f")"; done
if ! sc query "$service" >/dev/null 2>&1; then
  "$root/bin/TirvanClient" -i "$service" || {
    echo "Cannot install $service in $TIRVAN_SCM_DIR." >&2
    exit 1
  }
fi

# An embedded server of an earlier run goes first: the process in PIDFILE, when it is
# still PROGRAM.
stop_earlier() {
  local pidfile=$1 program=$2 old
  [[ -f $pidfile ]] || return 0
  old=$(cat "$pidfile")
  if [[ $old =~ ^[0-9]+$ ]] && tr '\0' ' ' 2>/dev/null <"/proc/$old/cmdline" | grep -q "$program"; then
    kill "$old" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$old" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$pidfile"
}
# The loopback port a server started as PID says it listens on in OUTFILE; empty when it
# did not say so within 10 s or ended first.
listening_port() {
  local out=$1 pid=$2 port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$out" | head -n 1)
    [[ -n $port ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "$port"
}
# Starts a server in the background: start_server DIR NAME COMMAND... keeps its output in
# DIR/NAME.out and its pid in DIR/NAME.pid, and sets server_port to the loopback port it
# says it listens on; a server that does not come up ends the script with its output.
start_server() {
  local dir=$1 name=$2 pid
  shift 2
  : >"$dir/$name.out"
  nohup "$@" >"$dir/$name.out" 2>&1 </dev/null &
  pid=$!
  disown "$pid" 2>/dev/null || true
  echo "$pid" >"$dir/$name.pid"
  server_port=$(listening_port "$dir/$name.out" "$pid")
  if [[ -z $server_port ]]; then
    echo "The server $name did not start:" >&2
    cat "$dir/$name.out" >&2
    exit 1
  fi
}

# The central server: tirvan-central on loopback, its accounts, state and log in
# ROOT/central, started before the service with the root's svhost and svport pointing at
# it. A root without an account gets the demo account (TIRVAN_DEMO_EMAIL and
# TIRVAN_DEMO_PASSWORD, demo@tirvan.com and tirvan-demo by default: an account the login
# window takes, which asks for an e-mail address and at least 6 characters); the account
# a root has, such as demo@tirvan.local of a root made earlier, is kept and added to the
# server. TIRVAN_CENTRAL_PORT fixes its port (the system picks one by
# default). A root set up for another server (svhost neither empty nor loopback) keeps it.
db=$root/etc/Tirvan.db
sql_text() { local q="'"; printf "%s" "${1//$q/$q$q}"; }
svhost=$(sqlite3 "$db" "select ifnull(svhost,'') from qz_conf limit 1")
if [[ -n $svhost && $svhost != 127.0.0.1 && $svhost != localhost ]]; then
  echo "The root uses the central server $svhost; the embedded one is not started."
else
  cmake --build "$build" --target tirvan-central
  central=$root/bin/tirvan-central
  central_dir=$root/central
  mkdir -p "$central_dir"
  put "$build/peers/central/tirvan-central" "$central"
  stop_earlier "$central_dir/central.pid" tirvan-central

  email=$(sqlite3 "$db" "select ifnull(email,'') from qz_user limit 1")
  psw=$(sqlite3 "$db" "select ifnull(psw,'') from qz_user limit 1")
  if [[ -z $email || -z $psw ]]; then
    email=${TIRVAN_DEMO_EMAIL:-demo@tirvan.com}
    "$central" account add --db "$central_dir/central.db" "$email" \
      --password "${TIRVAN_DEMO_PASSWORD:-tirvan-demo}" >/dev/null
    # The hash as the server made it, the way the tray program stores it.
    psw=$(sqlite3 "$central_dir/central.db" \
      "select psw from accounts where email='$(sql_text "$email")'")
    sqlite3 "$db" "delete from qz_user; insert into qz_user(email, psw)
      values('$(sql_text "$email")', '$(sql_text "$psw")');"
  else
    "$central" account add --db "$central_dir/central.db" "$email" --hash "$psw" >/dev/null
  fi

  start_server "$central_dir" central "$central" --db "$central_dir/central.db" \
    --listen "127.0.0.1:${TIRVAN_CENTRAL_PORT:-0}" --state "$central_dir/state.json" \
    --log "$central_dir/central.log"
  central_port=$server_port
  sqlite3 "$db" "update qz_conf set svhost='127.0.0.1', svport=$central_port"
  echo "Central server tirvan-central is running on 127.0.0.1:$central_port (account $email)."
  echo "  its state     $central_dir/state.json"
  echo "  its log       $central_dir/central.log"
  echo "  stop it with  kill \$(cat $central_dir/central.pid)"
fi

# The rendezvous server: tirvan-rendezvous on loopback, its output and log in
# ROOT/rendezvous, started before the service with the root's p2phost and p2pport
# pointing at it, so that devices reach the PC peer to peer. TIRVAN_RENDEZVOUS_PORT fixes
# its port (the system picks one by default). A root set up for another rendezvous server
# (p2phost neither empty nor loopback) keeps it.
p2phost=$(sqlite3 "$db" "select ifnull(p2phost,'') from qz_conf limit 1")
if [[ -n $p2phost && $p2phost != 127.0.0.1 && $p2phost != localhost ]]; then
  echo "The root uses the rendezvous server $p2phost; the embedded one is not started."
else
  cmake --build "$build" --target tirvan-rendezvous
  rendezvous=$root/bin/tirvan-rendezvous
  rendezvous_dir=$root/rendezvous
  mkdir -p "$rendezvous_dir"
  put "$build/peers/rendezvous/tirvan-rendezvous" "$rendezvous"
  stop_earlier "$rendezvous_dir/rendezvous.pid" tirvan-rendezvous

  start_server "$rendezvous_dir" rendezvous "$rendezvous" \
    --listen "127.0.0.1:${TIRVAN_RENDEZVOUS_PORT:-0}" --log "$rendezvous_dir/rendezvous.log"
  rendezvous_port=$server_port
  sqlite3 "$db" "update qz_conf set p2phost='127.0.0.1', p2pport=$rendezvous_port"
  echo "Rendezvous server tirvan-rendezvous is running on 127.0.0.1:$rendezvous_port."
  echo "  its log       $rendezvous_dir/rendezvous.log"
  echo "  stop it with  kill \$(cat $rendezvous_dir/rendezvous.pid)"
fi

# The maker's web server stand-in: tirvan-web on loopback over HTTPS with a certificate
# authority of its own made for this root (ROOT/web/ca), serving peers/web/site: the
# version page and installer of the update check, the release notes, the banner and the
# pages the tray program opens. TIRVAN_WEB_PORT fixes its port.
cmake --build "$build" --target tirvan-web
web_dir=$root/web
mkdir -p "$web_dir"
put "$build/peers/web/tirvan-web" "$root/bin/tirvan-web"
stop_earlier "$web_dir/web.pid" tirvan-web
[[ -f $web_dir/ca/ca.pem ]] || sh peers/web/make-test-ca.sh "$web_dir/ca" >/dev/null
start_server "$web_dir" web "$root/bin/tirvan-web" --listen "127.0.0.1:${TIRVAN_WEB_PORT:-0}" \
  --manifest "$PWD/peers/web/site/manifest" --cert "$web_dir/ca/server.pem" \
  --key "$web_dir/ca/server.key" --log "$web_dir/web.log"
web_port=$server_port
echo "Web server tirvan-web is running on https://127.0.0.1:$web_port (its authority: $web_dir/ca/ca.pem)."
echo "  its log       $web_dir/web.log"
echo "  stop it with  kill \$(cat $web_dir/web.pid)"

port=$(configured_port)
if [[ $port =~ ^[1-9][0-9]*$ ]] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "Port $port is taken by another program; $service was not started." >&2
  echo "Stop that program, or change localport in $root/etc/Tirvan.db." >&2
  exit 1
fi

if ! out=$(sc start "$service" 2>&1); then
  case $out in
    *"exit code 4130"*) echo "$service cannot listen on port $port: another program holds it." >&2 ;;
    *"exit code 4124"*) echo "Another TirvanClient already runs on this machine." >&2 ;;
    *) ;;
  esac
  echo "$out" >&2
  echo "See $root/log/Log.txt and $TIRVAN_SCM_DIR/$service.log." >&2
  exit 1
fi
echo "$service is running."
report

# The tray program, where there is a display: it watches the service, follows its log-on
# and stops it when it exits. Without a display it is not started; the line below says how.
port=$(configured_port)
tray_dir=$root/tray
mkdir -p "$tray_dir"
# The tray program's settings of this user, as an installer makes them: the program reads
# them from $XDG_CONFIG_HOME/Tirvan (~/.config/Tirvan) and never creates them itself. Made
# new, they ask for the first-run wizard, which the program shows once and then notes.
tray_config=${XDG_CONFIG_HOME:-$HOME/.config}/Tirvan
if [[ ! -f $tray_config/settings.ini ]]; then
  mkdir -p "$tray_config"
  printf '[Tirvan]\nSetupWizard=dword:0\n' >"$tray_config/settings.ini"
  echo "New tray settings in $tray_config/settings.ini: the first-run wizard shows once."
fi
tray_env=(TIRVAN_SCM=builtin "TIRVAN_SCM_DIR=$TIRVAN_SCM_DIR" "TIRVAN_SERVICE_PORT=$port"
  "TIRVAN_TRAY_LOG=$tray_dir/Tirvan.log" "TIRVAN_WEB_BASE=https://127.0.0.1:$web_port"
  "TIRVAN_BLOG_BASE=https://127.0.0.1:$web_port" "TIRVAN_WEB_CA=$web_dir/ca/ca.pem")
tray_cmd="env ${tray_env[*]} $root/bin/Tirvan"
stop_earlier "$tray_dir/tray.pid" "$root/bin/Tirvan"
if [[ -n ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
  nohup env "${tray_env[@]}" "$root/bin/Tirvan" >"$tray_dir/Tirvan.out" 2>&1 </dev/null &
  tray_pid=$!
  disown "$tray_pid" 2>/dev/null || true
  echo "$tray_pid" >"$tray_dir/tray.pid"
  echo "The tray program Tirvan is running (its icon is in the desktop's tray: a click opens"
  echo "the data folder, or the login window while no account is logged on; Open Tirvan in"
  echo "its menu opens the settings, Exit ends it and stops the service)."
  echo "  its log       $tray_dir/Tirvan.log"
  echo "  stop it with  kill \$(cat $tray_dir/tray.pid)"
else
  echo "No display: the tray program was not started. On a desktop start it with"
  echo "  $tray_cmd"
fi
