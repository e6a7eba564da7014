#!/bin/bash
# The settings file vistrel's postinst writes on the first installation, made
# in a temporary folder: both passwords random and long enough, mode 0600, in
# the format the relay reads (vistreld given as $1 starts on it), and an
# existing file left as it is.
# No pipefail: the postinst runs under sh, where tr ends on SIGPIPE unnoticed.
set -eu
postinst=$(dirname "$0")/../../packaging/maintainer-scripts/postinst
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "first_settings_test: $*" >&2; exit 1; }

eval "$(sed -n '/^write_first_settings() {$/,/^}$/p' "$postinst")"
declare -F write_first_settings > /dev/null || fail "no write_first_settings in $postinst"

write_first_settings "$work/state"
file=$work/state/registry.reg
[ "$(stat -c %a "$file")" = 600 ] || fail "mode $(stat -c %a "$file")"
[ "$(head -n 1 "$file")" = 'Windows Registry Editor Version 5.00' ] || fail "header"
grep -qx '\[HKEY_CURRENT_USER\\Vistrel Server\\Setup\]' "$file" || fail "no Setup key"
grep -Eqx '"FilmDemoPasswordEdit"="[A-HJ-NP-Za-km-z2-9]{16}"' "$file" || fail "filming password"
grep -Eqx '"RemoteAdminPasswordEdit"="[A-HJ-NP-Za-km-z2-9]{20}"' "$file" || fail "remote admin password"
[ ! -e "$file.new" ] || fail "temporary file left"

cp "$file" "$work/first"
write_first_settings "$work/state"
cmp -s "$file" "$work/first" || fail "an existing file was overwritten"
write_first_settings "$work/other"
! cmp -s "$work/other/registry.reg" "$work/first" || fail "the same passwords twice"

# A folder the service already owns gives the file its owner (root only can try).
if [ "$(id -u)" -eq 0 ]; then
  mkdir -m 0700 "$work/owned" && chown 65534:65534 "$work/owned"
  write_first_settings "$work/owned"
  [ "$(stat -c %u:%g "$work/owned/registry.reg")" = 65534:65534 ] || fail "the service's folder's owner not given"
fi

# The relay reads it: the log says the filming password is set (no warning).
if [ $# -ge 1 ]; then
  "$1" --address 127.0.0.1 --sender-port 0 --viewer-port 0 --http off --no-recording --registry "$file" \
    > "$work/out" 2>&1 &
  relay=$!
  sleep 0.5
  kill -TERM "$relay"
  wait "$relay" || fail "vistreld ended with status $?: $(cat "$work/out")"
  ! grep -qi 'cannot\|error\|warning' "$work/out" || fail "vistreld: $(cat "$work/out")"
fi
echo "first_settings_test: passed"
