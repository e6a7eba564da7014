#!/usr/bin/env bash
# Installs the Debian packages built by tools/build-packages.sh in a fresh
# Debian 12 root, checks that the programs run and the files are in place,
# then removes and purges both packages and checks nothing of theirs is left.
#
#   tools/test-packages.sh [FOLDER WITH THE .deb FILES]   (default build-pkg/packages)
#
# Runs as root and needs Debian's package mirror, through the same mirror as
# the machine's apt (or $VISTREL_DEBIAN_MIRROR). The first run makes the root
# with debootstrap (installed here if missing) and keeps it as a tarball in
# $VISTREL_ROOT_CACHE (default /var/cache/vistrel-package-test); later runs
# unpack that. Every run works on a new copy in memory (tmpfs, up to 4 GiB),
# removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
debs=${1:-build-pkg/packages}
cache=${VISTREL_ROOT_CACHE:-/var/cache/vistrel-package-test}
suite=bookworm
tarball=$cache/$suite-root.tar.gz

fail() { echo "test-packages: $*" >&2; exit 1; }
step() { echo "== $* ($((SECONDS - started)) s)"; }

[ "$(id -u)" -eq 0 ] || fail "run as root (debootstrap, chroot and mount need it)"

shopt -s nullglob
server_debs=("$debs"/vistrel_*.deb)
desktop_debs=("$debs"/vistrel-desktop_*.deb)
shopt -u nullglob
if [ ${#server_debs[@]} -ne 1 ] || [ ${#desktop_debs[@]} -ne 1 ]; then
  fail "want one vistrel_*.deb and one vistrel-desktop_*.deb in $debs: run tools/build-packages.sh"
fi

# The mirror the machine's apt uses: the first debian (not debian-security)
# address in its sources, in either the one-line or the deb822 form.
apt_uris() {
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    sed -n -e 's/^[[:space:]]*URIs:[[:space:]]*//p' -e 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' |
    tr ' ' '\n' | sed 's:/*$::'
}
mirror=${VISTREL_DEBIAN_MIRROR:-$(apt_uris | grep -E '/debian$' | head -n 1 || true)}
mirror=${mirror:-http://deb.debian.org/debian}
security=${VISTREL_DEBIAN_SECURITY_MIRROR:-$(apt_uris | grep -E '/debian-security$' | head -n 1 || true)}

# ---- the cached root -------------------------------------------------------
if [ ! -f "$tarball" ]; then
  command -v debootstrap >/dev/null || {
    step "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
  }
  step "making a Debian 12 root with debootstrap from $mirror (once; kept in $tarball)"
  mkdir -p "$cache"
  fresh=$(mktemp -d "$cache/root.XXXXXX")
  trap 'rm -rf --one-file-system "$fresh"' EXIT
  debootstrap --arch="$(dpkg --print-architecture)" "$suite" "$fresh" "$mirror"
  {
    echo "deb $mirror $suite main"
    echo "deb $mirror $suite-updates main"
    [ -z "$security" ] || echo "deb $security $suite-security main"
  } > "$fresh/etc/apt/sources.list"
  rm -rf "$fresh"/var/cache/apt/archives/*.deb "$fresh"/var/lib/apt/lists/*
  chmod 755 "$fresh"  # mktemp made it 0700; it is the root's /
  tar --numeric-owner -czf "$tarball.part" -C "$fresh" .
  mv "$tarball.part" "$tarball"
  rm -rf --one-file-system "$fresh"
  trap - EXIT
fi

# ---- a fresh copy of it for this run -----------------------------------------
# The copy lives in memory: dpkg's many writes and syncs, and the removal at
# the end, cost nothing there.
work=$(mktemp -d /var/tmp/vistrel-package-test.XXXXXX)
root=$work/root
cleanup() {
  local mount
  for mount in "$root/dev/pts" "$root/proc" "$work"; do
    if mountpoint -q "$mount"; then umount "$mount" || umount -l "$mount"; fi
  done
  # Never delete through a mount that is still there.
  if grep -q " ${work}[/ ]" /proc/mounts; then
    echo "test-packages: $work still has mounts; left in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT
mount -t tmpfs -o size=4G,mode=0755 vistrel-package-test "$work"

step "unpacking the Debian 12 root into $root"
mkdir "$root"
tar --numeric-owner -xzf "$tarball" -C "$root"
chmod 755 "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
[ ! -e "$root/run/systemd/system" ] || fail "the root claims a running systemd"
mkdir "$root/tmp/debs"
cp "${server_debs[0]}" "${desktop_debs[0]}" "$root/tmp/debs/"

# Runs a shell command in the root, with a clean environment.
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive /bin/sh -ec "$1"
}
# Fails unless the path exists in the root (a link may point at a path that
# means something only inside it).
expect_file() {
  [ -e "$root$1" ] || [ -L "$root$1" ] || fail "missing after installation: $1"
}

step "installing vistrel and vistrel-desktop with apt-get"
in_root 'apt-get update -q'
in_root 'cd /tmp/debs && apt-get install -y -q ./vistrel_*.deb ./vistrel-desktop_*.deb'
in_root 'dpkg-query -W -f="\${Package} \${Version} \${Status}\n" vistrel vistrel-desktop' | tee "$work/status"
[ "$(grep -c ' install ok installed$' "$work/status")" -eq 2 ] || fail "both packages are not installed"

step "checking the files"
for path in /usr/bin/vistreld /usr/lib/systemd/system/vistreld.service \
            /usr/share/man/man8/vistreld.8.gz /usr/share/doc/vistrel/examples/registry.reg \
            /usr/bin/vistrel-film /usr/bin/vistrel-watch \
            /usr/share/man/man1/vistrel-film.1.gz /usr/share/man/man1/vistrel-watch.1.gz \
            /usr/share/doc/vistrel/copyright /usr/share/doc/vistrel/changelog.Debian.gz \
            /usr/share/doc/vistrel/monitoring/README.md /usr/share/doc/vistrel/monitoring/alerts.yml \
            /usr/share/doc/vistrel/monitoring/alerts_test.yml /usr/share/doc/vistrel/monitoring/dashboard.json \
            /usr/bin/vistrel-server /usr/share/applications/vistrel-server.desktop \
            /usr/share/icons/hicolor/scalable/apps/vistrel-server.svg \
            /usr/share/man/man1/vistrel-server.1.gz \
            /usr/share/doc/vistrel-desktop/copyright /usr/share/doc/vistrel-desktop/changelog.Debian.gz; do
  expect_file "$path"
done
# The maintainer scripts enabled the unit, but started nothing without systemd.
expect_file /etc/systemd/system/multi-user.target.wants/vistreld.service
# and wrote the service's first settings: both passwords random, for root
# alone until systemd gives the folder to the service's user.
settings=$root/var/lib/vistrel/registry.reg
[ -f "$settings" ] || fail "no first-start settings file /var/lib/vistrel/registry.reg"
[ "$(stat -c %a "$settings")" = 600 ] || fail "the settings file's mode is $(stat -c %a "$settings"), not 600"
grep -Eqx '"FilmDemoPasswordEdit"="[A-HJ-NP-Za-km-z2-9]{16}"' "$settings" || fail "no random filming password"
grep -Eqx '"RemoteAdminPasswordEdit"="[A-HJ-NP-Za-km-z2-9]{20}"' "$settings" || fail "no random remote admin password"

# The monitoring files as shipped: the dashboard whole, and the rules' tests
# beside the rules they load (promtool is not in the root; the build's tests
# run them).
in_root 'dpkg -L vistrel' | grep -x /usr/share/doc/vistrel/monitoring/dashboard.json > /dev/null ||
  fail "the monitoring files are not the vistrel package's"
python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$root/usr/share/doc/vistrel/monitoring/dashboard.json" ||
  fail "/usr/share/doc/vistrel/monitoring/dashboard.json is not JSON"
grep -qx '  - alerts.yml' "$root/usr/share/doc/vistrel/monitoring/alerts_test.yml" ||
  fail "alerts_test.yml does not load the alerts.yml beside it"

step "running the programs"
in_root 'vistreld --help' | grep -q '^Usage: vistreld' || fail "vistreld --help"
in_root 'vistreld --version'
in_root 'vistrel-film --help' | grep -q 'vistrel-film' || fail "vistrel-film --help"
in_root 'vistrel-watch --help' | grep -q 'vistrel-watch' || fail "vistrel-watch --help"
in_root 'QT_QPA_PLATFORM=offscreen vistrel-server --help' | grep -q '^Usage: vistrel-server' ||
  fail "vistrel-server --help"
in_root 'QT_QPA_PLATFORM=offscreen vistrel-server --version'

# Each program for real, on the example settings file, in a network namespace
# of its own (so that its ports meet nothing on this machine): it starts,
# answers GET /api/v1/status on its HTTP side, and ends with status 0 on
# SIGTERM, reporting nothing on stderr but Qt's notes on the offscreen screen.
cat > "$root/tmp/run-relay.sh" <<'SCRIPT'
set -e
name=$1
mkdir -p -m 0700 "/tmp/$name"
cp /usr/share/doc/vistrel/examples/registry.reg "/tmp/$name/registry.reg"
# Recordings go to the run's own folder, not the root's home.
XDG_RUNTIME_DIR=/tmp/$name XDG_STATE_HOME=/tmp/$name/state QT_QPA_PLATFORM=offscreen \
  "$@" --registry "/tmp/$name/registry.reg" > "/tmp/$name/out" 2> "/tmp/$name/err" &
relay=$!
trap 'kill -TERM "$relay" 2>/dev/null || true' EXIT
# The HTTP side listens once the relay has started: try for up to 10 s.
for attempt in $(seq 100); do
  if exec 3<> /dev/tcp/127.0.0.1/38964; then break; fi 2>/dev/null
  kill -0 "$relay"
  sleep 0.1
done
printf 'GET /api/v1/status HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3
head -n 1 <&3 > "/tmp/$name/status-line"
exec 3<&-
kill -TERM "$relay"
status=0
wait "$relay" || status=$?
trap - EXIT
echo "$name ended with status $status"
[ "$status" -eq 0 ]
SCRIPT
for program in vistreld vistrel-server; do
  unshare --net /bin/sh -ec "ip link set lo up
    chroot '$root' /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root bash /tmp/run-relay.sh $program" ||
    { cat "$root/tmp/$program/out" "$root/tmp/$program/err" >&2; fail "$program did not run and end cleanly"; }
  grep -q '^HTTP/1.[01] 200' "$root/tmp/$program/status-line" ||
    fail "$program: GET /api/v1/status: $(cat "$root/tmp/$program/status-line")"
  if grep -v 'does not support propagateSizeHints' "$root/tmp/$program/err"; then
    fail "$program reported the errors above"
  fi
done

step "removing and purging both packages"
in_root 'dpkg -L vistrel vistrel-desktop' > "$work/files"
in_root 'apt-get remove --purge -y -q vistrel vistrel-desktop'
in_root 'dpkg-query -W -f="\${Package} \${Status}\n" vistrel vistrel-desktop 2>/dev/null || true' | tee "$work/status"
! grep -q ' installed$' "$work/status" || fail "a package is still installed"
# Every file of theirs, and every folder named after them, is gone.
while IFS= read -r path; do
  if [ -z "$path" ] || [ "$path" = /. ]; then continue; fi
  if [ -e "$root$path" ] || [ -L "$root$path" ]; then
    if [ ! -d "$root$path" ] || [[ $path == *vistrel* ]]; then fail "left after purge: $path"; fi
  fi
done < "$work/files"
# Nor anything else named after them: enablement links, the helpers' state.
left=$(cd "$root" && find . -xdev -path ./tmp -prune -o -path ./proc -prune -o -name '*vistrel*' -print)
[ -z "$left" ] || fail "left after purge: $left"

step "passed in $((SECONDS - started)) s"
