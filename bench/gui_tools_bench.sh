#!/usr/bin/env bash
# Times the desktop program's imaging ("镜像", to a file) and free-space
# extraction ("提取分区空闲空间", partition 0, compact) of an image against
# `orvaldi image --to` and `orvaldi freespace` of the same image, offscreen.
#
# Usage: bench/gui_tools_bench.sh [IMG] [GUI_TESTS_BIN] [ORVALDI_BIN]
#
# IMG defaults to /tmp/fatbench.img (bench/make_fat_bench_image.sh). Every
# output goes to a fresh folder under TARGET (default /dev/shm, a tmpfs) and
# is compared with the command line's by cmp; the best of RUNS (default 3)
# counts, after an untimed warm-up run. The window's times run from the start
# to the end message, through the real operation starter and progress views;
# the command line's are whole runs.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
IMG=$(realpath -m "${1:-/tmp/fatbench.img}")
GUI=${2:-$ROOT/build/tests/app/orvaldi_gui_tests}
BIN=${3:-$ROOT/build/src/orvaldi}
RUNS=${RUNS:-3}
TARGET=${TARGET:-/dev/shm}
export LC_ALL=C.UTF-8

[[ -r $IMG ]] || { echo "gui_tools_bench: cannot read $IMG (make it with bench/make_fat_bench_image.sh)" >&2; exit 2; }
[[ -x $GUI ]] || { echo "gui_tools_bench: $GUI is not built" >&2; exit 2; }
[[ -x $BIN ]] || { echo "gui_tools_bench: $BIN is not built" >&2; exit 2; }
WORK=$(mktemp -d "$TARGET/orvaldi-guitools.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cat "$IMG" >/dev/null  # warm the page cache

best() { sort -g | head -n1; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.3f", b - a}'; }
gui_image=() cli_image=() gui_free=() cli_free=()
for ((i = 0; i <= RUNS; i++)); do
  rm -f "$WORK"/*
  out=$(QT_QPA_PLATFORM=offscreen ORVALDI_GUI_BENCH_IMAGE=$IMG ORVALDI_GUI_BENCH_TARGET=$WORK \
    "$GUI" --gtest_filter='ImagingBench.*:FreeSpaceBench.*' 2>/dev/null)
  grep -q '^\[  PASSED  \] 2 tests' <<<"$out" || { echo "$out" >&2; echo "gui_tools_bench: a window's run failed" >&2; exit 1; }
  start=$(date +%s.%N)
  "$BIN" image "$IMG" --to "$WORK/cli.img" >/dev/null 2>&1
  middle=$(date +%s.%N)
  "$BIN" freespace "$IMG" 0 --to "$WORK/cli.free" >/dev/null 2>&1
  end=$(date +%s.%N)
  cmp -s "$WORK/gui.img" "$WORK/cli.img" || { echo "gui_tools_bench: the images differ" >&2; exit 1; }
  cmp -s "$WORK/gui.free" "$WORK/cli.free" || { echo "gui_tools_bench: the free-space files differ" >&2; exit 1; }
  ((i == 0)) && continue
  gui_image+=("$(awk '/^image /{print $2}' <<<"$out")")
  gui_free+=("$(awk '/^freespace /{print $2}' <<<"$out")")
  cli_image+=("$(elapsed "$start" "$middle")")
  cli_free+=("$(elapsed "$middle" "$end")")
done

bytes=$(stat -c %s "$IMG")
free=$(stat -c %s "$WORK/cli.free")
gi=$(printf '%s\n' "${gui_image[@]}" | best) ci=$(printf '%s\n' "${cli_image[@]}" | best)
gf=$(printf '%s\n' "${gui_free[@]}" | best) cf=$(printf '%s\n' "${cli_free[@]}" | best)
printf 'image      %s bytes   gui %s s   cli %s s   gui/cli %.2f\n' "$bytes" "$gi" "$ci" "$(awk -v g="$gi" -v c="$ci" 'BEGIN{print g / c}')"
printf 'freespace  %s bytes   gui %s s   cli %s s   gui/cli %.2f\n' "$free" "$gf" "$cf" "$(awk -v g="$gf" -v c="$cf" 'BEGIN{print g / c}')"
