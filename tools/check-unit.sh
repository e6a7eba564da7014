#!/usr/bin/env bash
# Checks packaging/vistreld.service without a running systemd:
#   systemd-analyze verify: the unit loads with no complaint at all (an
#     unknown or misspelt setting is only a warning there, so any output fails);
#   systemd-analyze security: its overall exposure stays where the unit has
#     it, 1.1 ("OK"; what is left is the network a relay needs), so a
#     protection lost or weakened fails.
# Usage: tools/check-unit.sh [VISTRELD]
# VISTRELD (default build/app/vistreld) stands in for /usr/bin/vistreld, which
# verify wants to find executable. Exits 77, "skipped", without systemd-analyze.
set -euo pipefail
cd "$(dirname "$0")/.."
unit=packaging/vistreld.service
max_exposure=11  # tenths: 1.1

if ! command -v systemd-analyze >/dev/null; then
  echo "systemd-analyze not found: skipped"
  exit 77
fi
vistreld=$(realpath -m "${1:-build/app/vistreld}")
[ -x "$vistreld" ] || { echo "no vistreld at $vistreld" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The same name, so that verify reads it as vistreld.service.
sed "s#^ExecStart=/usr/bin/vistreld\\b#ExecStart=$vistreld#" "$unit" >"$scratch/vistreld.service"
grep -q "^ExecStart=$vistreld" "$scratch/vistreld.service" || { echo "$unit: no ExecStart=/usr/bin/vistreld" >&2; exit 1; }

# The manual page comes with the package, not with the build.
complaints=$(systemd-analyze verify --man=no "$scratch/vistreld.service" 2>&1) || { echo "$complaints" >&2; exit 1; }
if [ -n "$complaints" ]; then
  echo "$complaints" >&2
  exit 1
fi
echo "verify: no complaints"

status=0
report=$(systemd-analyze security --offline=yes --threshold="$max_exposure" --no-pager "$scratch/vistreld.service" 2>&1) || status=$?
echo "$report" | grep -E '^✗|Overall exposure'
if [ "$status" -ne 0 ]; then
  echo "exposure above $((max_exposure / 10)).$((max_exposure % 10)) (or the check failed):" >&2
  echo "$report" >&2
  exit 1
fi
