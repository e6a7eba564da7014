#!/usr/bin/env bash
# Pictures of the operator window for the documentation: runs vistrel-server
# on a private X display (Xvfb) with a live final made by vistrel-demo-client
# (cameras filming under a 10 s broadcast delay, viewers behind the live
# edge, a few chat lines), has the program write a PNG of each page once the
# delay has let packets through, and stops everything it started, by PID.
#
#   tools/screenshots.sh [BUILD_DIR] [OUT_DIR]
#
# BUILD_DIR defaults to build/ (needs the vistrel-server and
# vistrel-demo-client targets); OUT_DIR defaults to docs/. The pages are
# written as intro.png, games-list.png, user-list.png, server-log.png and
# setup.png; the operator page, taken by headless Chromium (the browser
# test, tests/browser/operator_page_test.py), as operator-page.png and
# operator-page-phone.png. The relay listens on 127.0.0.1 only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-$root/docs}
server_bin=$build/app/vistrel-server
client_bin=$build/app/vistrel-demo-client
for bin in "$server_bin" "$client_bin"; do
  [ -x "$bin" ] || { echo "screenshots: $bin not built" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "screenshots: Xvfb is not installed" >&2; exit 1; }

work=$(mktemp -d)
xvfb_pid= server_pid= client_pid=
cleanup() {
  for pid in $client_pid $server_pid $xvfb_pid; do
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
display=90
while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -e "/tmp/.X11-unix/X${display}" ] && break
  sleep 0.1
done
[ -e "/tmp/.X11-unix/X${display}" ] || { echo "screenshots: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }

# Two free ports on 127.0.0.1 (nothing answers a connection to them).
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
pick_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 30000))
    port_free "$port" && { echo "$port"; return; }
  done
}
sender_port=$(pick_port)
viewer_port=$(pick_port)
while [ "$viewer_port" = "$sender_port" ]; do viewer_port=$(pick_port); done

# A filming password (shown masked on the setup page), a viewer limit and a
# broadcast delay.
cat >"$work/registry.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Vistrel Server\Setup]
"FilmDemoPasswordEdit"="demo"
"MaxClientsSpin"=dword:00000020
"BroadcastDelaySpin"=dword:0000000a
REG

mkdir -p "$work/runtime" "$work/shots"
chmod 700 "$work/runtime"
DISPLAY=":$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" \
  "$server_bin" --registry "$work/registry.reg" --address 127.0.0.1 \
  --sender-port "$sender_port" --viewer-port "$viewer_port" --http off --no-recording \
  --screenshots "$work/shots" --screenshot-delay 14000 >"$work/server.log" 2>&1 &
server_pid=$!

# The window is up once its single-instance socket exists; the demo client
# retries its first connection until the relay listens.
for _ in $(seq 100); do
  [ -e "$work/runtime/vistrel-server.socket" ] && break
  sleep 0.1
done
"$client_bin" --address 127.0.0.1 --sender-port "$sender_port" --viewer-port "$viewer_port" \
  --password demo --games 4 --viewers 6 --seconds 60 --film-every 500 &
client_pid=$!

for _ in $(seq 450); do
  [ -f "$work/shots/done" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^ok' "$work/shots/done" 2>/dev/null; then
  echo "screenshots: the window wrote no pictures" >&2
  cat "$work/server.log" >&2
  exit 1
fi

mkdir -p "$out"
for page in intro games-list user-list server-log setup; do
  cp "$work/shots/$page.png" "$out/$page.png"
done
# The operator page, from vistreld in a browser.
/usr/bin/python3 "$root/tests/browser/operator_page_test.py" --vistreld "$build/app/vistreld" \
  --demo-client "$client_bin" --delay 10 --screenshot "$out/operator-page.png" \
  --phone-screenshot "$out/operator-page-phone.png"
echo "screenshots: written to $out"
