#!/usr/bin/env bash
# Times the find-file search on a FAT32 volume of 100,000 files and folders:
# `orvaldi find` by extension and by pattern beside `orvaldi ls` of the same
# partition (the open and the printing both commands share), and the
# desktop program's "查找文件" through the real operation starter, offscreen,
# from the command to the shown list, with the longest time its UI thread
# went without turning its event loop meanwhile.
#
# Usage: bench/find_bench.sh [IMG]
#
# IMG defaults to /work/benchimg/fatbench.img, else an image built here under
# TMPDIR by bench/make_fat_bench_image.sh (FAST=1). Each command runs RUNS
# times (default 3); the best time counts. ORVALDI_BIN and GUI_TESTS_BIN
# default to the build/ tree.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=${ORVALDI_BIN:-$ROOT/build/src/orvaldi}
GUI=${GUI_TESTS_BIN:-$ROOT/build/tests/app/orvaldi_gui_tests}
RUNS=${RUNS:-3}
IMG=${1:-/work/benchimg/fatbench.img}
EXT='txt; doc'
PATTERN='*r*rt*.t?t;*jp*'

[[ -x $BIN ]] || { echo "find_bench: $BIN is not built" >&2; exit 2; }
[[ -x $GUI ]] || { echo "find_bench: $GUI is not built" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/find_bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
if [[ ! -r $IMG ]]; then
  IMG=$WORK/fatbench.img
  FAST=1 bash "$ROOT/bench/make_fat_bench_image.sh" "$IMG" >/dev/null
fi
cat "$IMG" >/dev/null  # warm the page cache once for every run

# Best wall-clock seconds of RUNS runs of a command (its output discarded).
best_of() {
  local best= i t0 t1 took
  for ((i = 0; i < RUNS; i++)); do
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "find_bench: $* failed" >&2; exit 1; }
    t1=$(date +%s.%N)
    took=$(echo "$t1 - $t0" | bc)
    if [[ -z $best ]] || (($(echo "$took < $best" | bc))); then best=$took; fi
  done
  printf '%.3f' "$best"
}

printf 'image: %s, %s entries listed by orvaldi ls; best of %s runs\n' "$IMG" \
  "$("$BIN" ls --json "$IMG" 0 | wc -l)" "$RUNS"
printf '%-40s %s s\n' "cli ls --json" "$(best_of "$BIN" ls --json "$IMG" 0)"
printf '%-40s %s s  (%s matches)\n' "cli find --ext \"$EXT\"" "$(best_of "$BIN" find --json "$IMG" 0 --ext "$EXT")" \
  "$("$BIN" find --json "$IMG" 0 --ext "$EXT" | wc -l)"
printf '%-40s %s s  (%s matches)\n' "cli find --pattern \"$PATTERN\"" \
  "$(best_of "$BIN" find --json "$IMG" 0 --pattern "$PATTERN")" \
  "$("$BIN" find --json "$IMG" 0 --pattern "$PATTERN" | wc -l)"
for ((i = 0; i < RUNS; i++)); do
  QT_QPA_PLATFORM=offscreen ORVALDI_GUI_FIND_BENCH_IMG=$IMG \
    "$GUI" --gtest_filter='FindDialogBench.*' 2>/dev/null | grep -E '^gui '
done
