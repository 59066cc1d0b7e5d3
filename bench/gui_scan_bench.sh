#!/usr/bin/env bash
# Times the desktop program's scans against the command-line tool doing the
# same work on the same image: "扫描格式化文件" of a reformatted FAT32 volume
# against `orvaldi ls IMG 0 --mode search`, and "全盘扫描" against
# `orvaldi rawscan IMG`. The GUI side runs through the real operation starter
# and progress window, offscreen (no display needed), from the command to the
# published result.
#
# Usage: bench/gui_scan_bench.sh [FAT_IMG] [DISK_IMG]
#
# FAT_IMG defaults to a 126 MiB FAT32 volume built here under TMPDIR (mkfs.fat,
# 2,000 files in 100 folders copied in by mtools, then mkfs.fat again over
# it, so that only the cluster search finds the files). DISK_IMG defaults to
# /work/benchimg/rawscanbench.img (bench/make_rawscan_bench_image.sh); the
# full-disk part is left out when it does not exist. Each command runs RUNS
# times (default 3); the best time counts. ORVALDI_BIN and GUI_TESTS_BIN
# default to the build/ tree.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=${ORVALDI_BIN:-$ROOT/build/src/orvaldi}
GUI=${GUI_TESTS_BIN:-$ROOT/build/tests/app/orvaldi_gui_tests}
RUNS=${RUNS:-3}
FAT_IMG=${1:-}
DISK_IMG=${2:-/work/benchimg/rawscanbench.img}

[[ -x $BIN ]] || { echo "gui_scan_bench: $BIN is not built" >&2; exit 2; }
[[ -x $GUI ]] || { echo "gui_scan_bench: $GUI is not built" >&2; exit 2; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/gui_scan_bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

if [[ -z $FAT_IMG ]]; then
  command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null ||
    { echo "gui_scan_bench: needs mkfs.fat and mtools to build the FAT32 image" >&2; exit 2; }
  FAT_IMG=$WORK/reformatted.img
  mkdir -p "$WORK/tree"
  for ((d = 0; d < 100; d++)); do
    mkdir -p "$WORK/tree/DIR$d"
    for ((f = 0; f < 20; f++)); do
      head -c $(((d * 20 + f) % 97 * 512 + 300)) /dev/zero | tr '\0' 'x' >"$WORK/tree/DIR$d/F$f.TXT"
    done
  done
  mkfs.fat -F 32 -s 1 -C "$FAT_IMG" $((126 * 1024)) >/dev/null
  MTOOLS_SKIP_CHECK=1 mcopy -s -i "$FAT_IMG" "$WORK"/tree/* ::/
  # The reformat: a new FAT and root over the old folders' clusters.
  mkfs.fat -F 32 -s 1 "$FAT_IMG" >/dev/null
fi
[[ -r $FAT_IMG ]] || { echo "gui_scan_bench: cannot read $FAT_IMG" >&2; exit 2; }
[[ -r $DISK_IMG ]] || DISK_IMG=

# Best wall-clock seconds of RUNS runs of a command.
best_of() {
  local best=
  for ((i = 0; i < RUNS; i++)); do
    local t0 t1 took
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    took=$(echo "$t1 - $t0" | bc)
    if [[ -z $best ]] || (($(echo "$took < $best" | bc))); then best=$took; fi
  done
  printf '%.3f' "$best"
}

# Best GUI time of RUNS runs for the line starting with $1.
gui_best() {
  local label=$1 best=
  shift
  for ((i = 0; i < RUNS; i++)); do
    local took
    took=$(env QT_QPA_PLATFORM=offscreen "$@" "$GUI" --gtest_filter='ProgressBench.*' 2>/dev/null |
      awk -v l="$label" 'index($0, l) == 1 { print $3; exit }')
    [[ -n $took ]] || { echo "gui_scan_bench: the GUI benchmark printed no time for $label" >&2; exit 1; }
    if [[ -z $best ]] || (($(echo "$took < $best" | bc))); then best=$took; fi
  done
  printf '%.3f' "$best"
}

report() {
  local what=$1 gui=$2 cli=$3
  printf '%-44s gui %8s s   cli %8s s   gui/cli %s\n' "$what" "$gui" "$cli" "$(echo "scale=2; $gui / $cli" | bc)"
}

cat "$FAT_IMG" >/dev/null
echo "FAT32 image: $FAT_IMG ($(stat -c %s "$FAT_IMG") bytes); best of $RUNS runs"
cli=$(best_of "$BIN" ls "$FAT_IMG" 0 --mode search)
gui=$(gui_best "gui 扫描格式化文件" ORVALDI_GUI_SCAN_BENCH_FAT="$FAT_IMG")
report "扫描格式化文件 / ls --mode search" "$gui" "$cli"

if [[ -n $DISK_IMG ]]; then
  cat "$DISK_IMG" >/dev/null
  echo "disk image: $DISK_IMG ($(stat -c %s "$DISK_IMG") bytes)"
  cli=$(best_of "$BIN" rawscan "$DISK_IMG")
  gui=$(gui_best "gui 全盘扫描" ORVALDI_GUI_SCAN_BENCH_DISK="$DISK_IMG")
  report "全盘扫描 / rawscan" "$gui" "$cli"
fi
