#!/bin/bash
# bench/edge_load.sh MODE [VIEWERS_PER_GROUP] [GROUPS] [GAMES_PER_GROUP]
#
# What an origin relay pays when edge relays behind nginx serve the viewers,
# against one relay serving them all itself, with the shared fan-out load
# program (../shared/fanout/fanout_load.c), on loopback:
#
#   MODE edge:   an origin vistreld, nginx with docs/deploy/nginx-cache.conf,
#                GROUPS edge vistrelds (--forward-from the cache); each group
#                of VIEWERS_PER_GROUP viewers watches on its own edge.
#   MODE direct: one vistreld; every group watches on it.
#
# Either way GROUPS x GAMES_PER_GROUP games are uploaded to the relay the
# cameras use (the origin, or the one relay) by upload-only load programs
# whose senders stay connected (live games); then one load program per group
# joins its viewers to its games and measures a window of EDGE_SECONDS (20)
# seconds, uploading its own copy of the same packets to a spare relay (the
# load program always uploads; its viewers check what they receive against
# those copies). Reported per relay process: CPU seconds over the viewers'
# phase (joins and window) and per second of it, the bytes the origin sent
# over HTTP, and each load program's summary (delivered packets per viewer per
# tick, the serving relay's CPU per delivered packet).
#
# Environment: EDGE_SECONDS (20), EDGE_PACKETS (packets per game, 400),
# EDGE_SIZE (compressed packet bytes, 1400), EDGE_JOIN_TIMEOUT (s, 180),
# EDGE_KEEP=1 keeps the temporary folder. Processes started here are stopped
# here by their PIDs.
set -u
MODE=${1:?usage: $0 edge|direct [VIEWERS_PER_GROUP] [GROUPS] [GAMES_PER_GROUP]}
V=${2:-2000} E=${3:-4} G=${4:-10}
SECS=${EDGE_SECONDS:-20} K=${EDGE_PACKETS:-400} SIZE=${EDGE_SIZE:-1400} JT=${EDGE_JOIN_TIMEOUT:-180}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
VISTRELD=$ROOT/build/app/vistreld
FANOUT=$ROOT/../shared/fanout/fanout_load.c
WORK=$(mktemp -d "${TMPDIR:-/tmp}/edge_load.XXXXXX")
PIDS=()

cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
    sleep 1
    for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    if [ "${EDGE_KEEP:-0}" = 1 ]; then echo "kept $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
cpu_ticks() { local s; s=$(cat "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }; s=${s##*) }; set -- $s; echo $((${12} + ${13})); }
# nginx: its master and its workers.
tree_ticks() { local p n=0; for p in "$1" $(pgrep -P "$1"); do n=$((n + $(cpu_ticks "$p"))); done; echo "$n"; }
wait_port() { local i; for i in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }
metric() { curl -s "http://127.0.0.1:$1/metrics" | sed -n "s/^$2 //p"; }
# A family's samples summed over their labels.
metric_sum() { curl -s "http://127.0.0.1:$1/metrics" | awk -v n="$2" 'index($1, n "{") == 1 { s += $2 } END { print s + 0 }'; }

ulimit -n "$(ulimit -Hn)"
cc -O2 -o "$WORK/fanout_load" "$FANOUT" -lz || exit 2
cat > "$WORK/relay.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Vistrel Server\Setup]
"FilmDemoPasswordEdit"="secret"
REG

# start_relay NAME [options...]: sets <NAME>_SP, _VP, _HP, _PID
start_relay() {
    local name=$1; shift
    local sp vp hp
    sp=$(free_port) vp=$(free_port) hp=$(free_port)
    cp "$WORK/relay.reg" "$WORK/$name.reg"
    "$VISTRELD" --address 127.0.0.1 --sender-port "$sp" --viewer-port "$vp" --http "127.0.0.1:$hp" \
        --registry "$WORK/$name.reg" --max-memory 2G --no-recording "$@" > "$WORK/$name.out" 2>&1 &
    local pid=$!
    PIDS+=("$pid")
    wait_port "$hp" || { echo "$name did not start" >&2; exit 2; }
    eval "${name}_SP=$sp ${name}_VP=$vp ${name}_HP=$hp ${name}_PID=$pid"
}

start_relay origin
start_relay spare
if [ "$MODE" = edge ]; then
    NP=$(free_port)
    mkdir -p "$WORK/nginx/cache" "$WORK/nginx/temp"
    sed -e "s#/var/cache/nginx/vistrel#$WORK/nginx/cache#" -e "s#server 127.0.0.1:38964;#server 127.0.0.1:$origin_HP;#" \
        -e "s#listen 8080;#listen 127.0.0.1:$NP;#" "$ROOT/docs/deploy/nginx-cache.conf" > "$WORK/nginx/site.conf"
    cat > "$WORK/nginx/nginx.conf" <<CONF
$( [ "$(id -u)" = 0 ] && echo "user root root;" )
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 1024; }
http {
  log_format upstream '\$upstream_bytes_received';
  access_log $WORK/nginx/upstream.log upstream;
  client_body_temp_path $WORK/nginx/temp/body;
  proxy_temp_path $WORK/nginx/temp/proxy;
  fastcgi_temp_path $WORK/nginx/temp/fastcgi;
  uwsgi_temp_path $WORK/nginx/temp/uwsgi;
  scgi_temp_path $WORK/nginx/temp/scgi;
  include $WORK/nginx/site.conf;
}
CONF
    /usr/sbin/nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/error.log" &
    NGINX_PID=$!
    PIDS+=("$NGINX_PID")
    wait_port "$NP" || { echo "nginx did not start" >&2; cat "$WORK/nginx/error.log" >&2; exit 2; }
    for e in $(seq 0 $((E - 1))); do start_relay "edge$e" --forward-from "http://127.0.0.1:$NP"; done
fi

# Live games on the relay the cameras use: upload-only load programs whose
# senders stay connected until the end.
for e in $(seq 0 $((E - 1))); do
    "$WORK/fanout_load" --sender-port "$origin_SP" --viewer-port "$origin_VP" --password secret --games "$G" \
        --packets "$K" --size "$SIZE" --viewers 0 --seconds 3600 --first-game $((e * G + 1)) --seed $((e + 1)) \
        --verbose > "$WORK/upload$e.out" 2> "$WORK/upload$e.err" &
    PIDS+=("$!")
    for i in $(seq 600); do grep -q "upload done" "$WORK/upload$e.err" && break; sleep 0.1; done
done
sleep 3  # the edges see every game (the list is read every second) and fetch its segments

origin_cpu0=$(cpu_ticks "$origin_PID")
nginx_cpu0=$( [ "$MODE" = edge ] && tree_ticks "$NGINX_PID" || echo 0)
origin_req0=$(metric_sum "$origin_HP" vistrel_http_requests_total)
origin_sent0=$(metric "$origin_HP" 'vistrel_sent_bytes_total{port="viewer"}')
log0=$( [ "$MODE" = edge ] && wc -l < "$WORK/nginx/upstream.log" || echo 0)
t0=$(date +%s.%N)
LOADS=()
for e in $(seq 0 $((E - 1))); do
    if [ "$MODE" = edge ]; then pidvar="edge${e}_PID" vpvar="edge${e}_VP"; else pidvar=origin_PID vpvar=origin_VP; fi
    "$WORK/fanout_load" --server-pid "${!pidvar}" --sender-port "$spare_SP" --viewer-port "${!vpvar}" --password secret \
        --games "$G" --packets "$K" --size "$SIZE" --viewers "$V" --seconds "$SECS" --first-game $((e * G + 1)) \
        --seed $((e + 1)) --join-timeout "$JT" --max-pending 256 > "$WORK/load$e.out" 2>&1 &
    LOADS+=("$!")
    PIDS+=("$!")
done
for p in "${LOADS[@]}"; do wait "$p"; done
t1=$(date +%s.%N)
origin_cpu1=$(cpu_ticks "$origin_PID")
nginx_cpu1=$( [ "$MODE" = edge ] && tree_ticks "$NGINX_PID" || echo 0)
origin_req1=$(metric_sum "$origin_HP" vistrel_http_requests_total)
origin_sent1=$(metric "$origin_HP" 'vistrel_sent_bytes_total{port="viewer"}')
# What nginx received from the origin during the phase (bodies and heads).
upstream_bytes=0
if [ "$MODE" = edge ]; then
    upstream_bytes=$(tail -n +"$((log0 + 1))" "$WORK/nginx/upstream.log" | tr ',' '\n' | awk '$1 ~ /^[0-9]+$/ { n += $1 } END { print n + 0 }')
fi
hz=$(getconf CLK_TCK)

echo "mode $MODE: $E groups of $V viewers, $G games each ($((E * G)) games), $K packets a game, window ${SECS} s"
for e in $(seq 0 $((E - 1))); do
    echo "-- group $e"
    grep -E "^(window|errors|server: [0-9.]+ CPU|join: [0-9]+ of)" "$WORK/load$e.out"
done
awk -v a="$origin_cpu0" -v b="$origin_cpu1" -v n0="$nginx_cpu0" -v n1="$nginx_cpu1" -v hz="$hz" \
    -v t0="$t0" -v t1="$t1" -v r0="${origin_req0:-0}" -v r1="${origin_req1:-0}" -v s0="${origin_sent0:-0}" \
    -v s1="${origin_sent1:-0}" -v up="$upstream_bytes" -v mode="$MODE" 'BEGIN {
    span = t1 - t0
    printf "viewers phase %.1f s: %s CPU %.2f s (%.2f ms/s); HTTP requests %d; bytes sent to viewers %.0f (%.0f B/s)", span,
        mode == "edge" ? "origin" : "relay", (b - a) / hz, 1000 * (b - a) / hz / span, r1 - r0, s1 - s0, (s1 - s0) / span
    if (mode == "edge") printf "; to nginx %.0f B (%.0f B/s); nginx CPU %.2f s (%.2f ms/s)", up, up / span, (n1 - n0) / hz, 1000 * (n1 - n0) / hz / span
    printf "\n"
}'
if [ "$MODE" = edge ]; then
    for e in $(seq 0 $((E - 1))); do
        pidvar="edge${e}_PID"
        echo "edge$e: $(grep -c 'is refused' "$WORK/edge$e.out") refused segments; $(grep -c 'is mirrored' "$WORK/edge$e.out") games mirrored"
    done
fi
