#!/usr/bin/env bash
# Times what naming carved files costs: `rawscan --json` and `carve --names` against the same commands of a build without the names pass, on the raw-scan bench image.
#
# Usage: bench/carved_names_bench.sh [IMG] [ORVALDI_BIN] [BASE_BIN]
#
# IMG defaults to /tmp/rawscanbench.img (bench/make_rawscan_bench_image.sh),
# ORVALDI_BIN to build/src/orvaldi. BASE_BIN is an orvaldi built from the
# commit before the names pass (its rawscan names nothing); without it only
# `carve` and `carve --names` of ORVALDI_BIN are compared, which differ by
# the names pass alone. The image is read once to warm the page cache; each
# command runs once untimed and RUNS times (default 5); the best time counts.
# carve writes into emptied folders under TARGET (default /dev/shm).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
IMG=$(realpath -m "${1:-/tmp/rawscanbench.img}")
BIN=${2:-$ROOT/build/src/orvaldi}
BASE=${3:-}
RUNS=${RUNS:-5}
TARGET=${TARGET:-/dev/shm}

# shellcheck source=tools/bench_lib.sh
source "$ROOT/tools/bench_lib.sh"
[[ -r $IMG ]] || die "cannot read $IMG (make it with bench/make_rawscan_bench_image.sh)"
[[ -x $BIN ]] || die "$BIN is not an executable file"
[[ -x /usr/bin/time ]] || die "/usr/bin/time not found (apt-get install time)"

WORK=$(mktemp -d "$TARGET/orvaldi-namesbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
OUT="$WORK/out"
cat "$IMG" >/dev/null

pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.1f%%", 100 * (a - b) / b }'; }
line() { printf '  %-40s best %7s s  cpu %6s s\n' "$1" "$(best_s "$2")" "$(best_cpu "$2")"; }

printf 'image: %s (%s bytes), %s runs each\n' "$IMG" "$(stat -c %s "$IMG")" "$RUNS"
timed scan "$BIN" rawscan --json "$IMG"
line "rawscan --json" scan
if [[ -n $BASE ]]; then
  timed base_scan "$BASE" rawscan --json "$IMG"
  line "rawscan --json (without names)" base_scan
  timed base_carve "$BASE" carve "$IMG" --to "$OUT"
  line "carve (without names)" base_carve
fi
timed carve "$BIN" carve "$IMG" --to "$OUT"
line "carve" carve
timed names "$BIN" carve --names "$IMG" --to "$OUT"
line "carve --names" names
python3 - "$WORK/scan.out" <<'PY'
import json, sys
c = json.load(open(sys.argv[1]))["carved"]
print(f"  carved {len(c)}, named {sum('foundName' in x for x in c)}, with their folder {sum('foundPath' in x for x in c)}")
PY
printf '  cost: carve --names against carve %s' "$(pct "$(best_s names)" "$(best_s carve)")"
[[ -z $BASE ]] || printf ', rawscan against rawscan without names %s, carve --names against carve without names %s' \
  "$(pct "$(best_s scan)" "$(best_s base_scan)")" "$(pct "$(best_s names)" "$(best_s base_carve)")"
printf '\n'
