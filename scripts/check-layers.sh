#!/usr/bin/env bash
# Fails when a file includes a header of a folder its own folder may not
# depend on. Dependencies run one way: base, record, then runtime, lists and
# logfiles, then src/support, src/table, src/report, src/daemon, then tools.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [lib/base]=""
  [lib/record]="lib/base"
  [lib/runtime]="lib/base"
  [lib/lists]="lib/base lib/record lib/runtime libcityhash"
  [lib/logfiles]="lib/base lib/record"
  [libcityhash]=""
  [libsearch]=""
  [src/support]="lib/base lib/record lib/runtime"
  [src/table]="lib/base lib/record"
  [src/report]="lib/base lib/record lib/runtime lib/lists lib/logfiles libcityhash libsearch src/support src/table"
  [src/daemon]="lib/base lib/record lib/runtime lib/lists lib/logfiles libcityhash libsearch src/support src/table src/report"
  [tools]="lib/base lib/record lib/runtime lib/lists lib/logfiles libcityhash libsearch src/support src/table src/report"
)

bad=0
for dir in "${!allowed[@]}"; do
  [ -d "$dir" ] || continue
  for f in "$dir"/*.h "$dir"/*.cc; do
    [ -e "$f" ] || continue
    while IFS= read -r inc; do
      incdir=$(dirname "$inc")
      [ "$incdir" = "$dir" ] && continue
      [ "$incdir" = "." ] && { echo "$f: include \"$inc\" is not a path from the project root"; bad=1; continue; }
      case " ${allowed[$dir]} " in
        *" $incdir "*) ;;
        *) echo "$f: $dir may not include $inc"; bad=1 ;;
      esac
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$f")
  done
done
if [ "$bad" -ne 0 ]; then
  echo "layer check failed"
  exit 1
fi
echo "layer check passed"
