#!/usr/bin/env bash
# Times `orvaldi ls IMG PART --json` against the same with `--mapfile`: the
# cost of finding where every file lies and checking it against the map.
#
# Usage: bench/mapfile_ls_bench.sh IMG ORVALDI_BIN [PART]
#
# The map is made here: the whole image read, except one 4 KiB area left
# bad every 8 MiB. Each command runs RUNS times (default 3) after one
# untimed pass; prints the median wall-clock seconds of each, their ratio,
# and how many files the map marked.
set -euo pipefail

IMG=${1:?usage: mapfile_ls_bench.sh IMG ORVALDI_BIN [PART]}
BIN=${2:?usage: mapfile_ls_bench.sh IMG ORVALDI_BIN [PART]}
PART=${3:-0}
RUNS=${RUNS:-3}
MAP=$(mktemp)
trap 'rm -f "$MAP"' EXIT

size=$(stat -c %s "$IMG")
python3 - "$size" >"$MAP" <<'PY'
import sys
size, step, bad = int(sys.argv[1]), 8 << 20, 4096
print("# made by mapfile_ls_bench.sh\n0x0 ?")
pos = 0
while pos < size:
    good = min(step - bad, size - pos)
    print(f"{pos:#x} {good:#x} +")
    pos += good
    if pos < size:
        n = min(bad, size - pos)
        print(f"{pos:#x} {n:#x} -")
        pos += n
PY

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
run() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}
"$BIN" ls "$IMG" "$PART" --json >/dev/null 2>&1 || true
"$BIN" ls "$IMG" "$PART" --json --mapfile "$MAP" >/dev/null 2>&1 || true
plain=$(for _ in $(seq "$RUNS"); do run "$BIN" ls "$IMG" "$PART" --json; done | median)
mapped=$(for _ in $(seq "$RUNS"); do run "$BIN" ls "$IMG" "$PART" --json --mapfile "$MAP"; done | median)
files=$("$BIN" ls "$IMG" "$PART" --json 2>/dev/null | wc -l)
marked=$("$BIN" ls "$IMG" "$PART" --json --mapfile "$MAP" 2>/dev/null | grep -c '"damaged":' || true)
echo "image: $IMG ($size bytes), $files rows; $RUNS runs each"
echo "ls --json:            ${plain} s"
echo "ls --json --mapfile:  ${mapped} s  (x$(echo "scale=2; $mapped / $plain" | bc)), $marked file(s) marked"
