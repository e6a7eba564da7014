#!/usr/bin/env bash
# Fails when a source file includes a folder that comes later in the layer
# order (cmake/layers.cmake): base, net, core, console, settings, disk,
# relay, web, edge, window, app. client/ sees the layers up to core and itself; testing/
# sees the layers up to relay (disk
# included) and client/; tests/, bench/, fuzz/ and tools/
# may include anything, and nothing in a layer may include client/, testing/
# or tests/.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(base net core console settings disk relay web edge window app)
rank_of() {
  local i
  for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done
  echo -1
}
failures=0
check_file() {  # file, its folder's rank, the highest rank it may include
  local file=$1 limit=$2 line target rank
  while IFS= read -r line; do
    target=${line#*\"}
    target=${target%%/*}
    case $target in
      client) case ${file%%/*} in client|testing) rank=0 ;; *) rank=99 ;; esac ;;
      testing) if [ "${file%%/*}" = testing ]; then rank=0; else rank=99; fi ;;
      tests) rank=99 ;;
      *) rank=$(rank_of "$target") ;;
    esac
    [ "$rank" -lt 0 ] && continue
    if [ "$rank" -gt "$limit" ]; then
      echo "$file includes $target/, a later layer: $line" >&2
      failures=$((failures + 1))
    fi
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z_]+/' "$file" || true)
}
while IFS= read -r file; do
  folder=${file%%/*}
  case $folder in
    client) check_file "$file" "$(rank_of core)" ;;
    testing) check_file "$file" "$(rank_of relay)" ;;
    *)
      rank=$(rank_of "$folder")
      [ "$rank" -ge 0 ] && check_file "$file" "$rank"
      ;;
  esac
done < <(git ls-files '*.h' '*.cpp' '*.hpp' '*.cc')
if [ "$failures" -gt 0 ]; then
  echo "check-layers: $failures upward include(s)" >&2
  exit 1
fi
echo "check-layers: every include points at the same or an earlier layer"
