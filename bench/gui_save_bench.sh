#!/usr/bin/env bash
# Times the desktop program's ticked save ("保存打勾文件", Ctrl+S) of a
# selection against `orvaldi recover` of the same selection, offscreen.
#
# Usage: bench/gui_save_bench.sh [IMG] [GUI_TESTS_BIN] [ORVALDI_BIN]
#
# IMG defaults to /tmp/recoverbench.img, made by
# bench/make_recover_bench_image.sh (about 1 GiB of files in partition 0).
# PATHS (":"-separated, as 'orvaldi ls' prints them; default the image's
# three folders) are ticked in the partition window and given to the command
# line. Every run writes into a fresh folder under TARGET (default /dev/shm,
# a tmpfs), deleted (untimed) before the next; the best of RUNS (default 3)
# counts. The window's time runs from Ctrl+S to the end message; the command
# line's includes opening the partition, so "open" (the window's scan of the
# partition) is printed beside it. Both outputs are checked against each
# other by sha256 (the window saves the ticked folders straight into the
# target, the command line below 根目录/).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
IMG=$(realpath -m "${1:-/tmp/recoverbench.img}")
GUI=${2:-$ROOT/build/tests/app/orvaldi_gui_tests}
BIN=${3:-$ROOT/build/src/orvaldi}
RUNS=${RUNS:-3}
TARGET=${TARGET:-/dev/shm}
PATHS=${PATHS:-根目录/large:根目录/medium:根目录/small}
export LC_ALL=C.UTF-8

[[ -r $IMG ]] || { echo "gui_save_bench: cannot read $IMG (make it with bench/make_recover_bench_image.sh)" >&2; exit 2; }
[[ -x $GUI ]] || { echo "gui_save_bench: $GUI is not built" >&2; exit 2; }
[[ -x $BIN ]] || { echo "gui_save_bench: $BIN is not built" >&2; exit 2; }
WORK=$(mktemp -d "$TARGET/orvaldi-guisave.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cat "$IMG" >/dev/null  # warm the page cache
IFS=: read -r -a path_list <<<"$PATHS"

best() { sort -g | head -n1; }
gui_times=() cli_times=() open_times=()
for ((i = 0; i <= RUNS; i++)); do
  rm -rf "$WORK/gui" "$WORK/cli"
  out=$(QT_QPA_PLATFORM=offscreen ORVALDI_GUI_BENCH_IMAGE=$IMG ORVALDI_GUI_BENCH_PATHS=$PATHS \
    ORVALDI_GUI_BENCH_TARGET=$WORK/gui "$GUI" --gtest_filter='SaveBench.*' 2>/dev/null)
  grep -q '^\[  PASSED  \] 1 test' <<<"$out" || { echo "$out" >&2; echo "gui_save_bench: the window's save failed" >&2; exit 1; }
  start=$(date +%s.%N)
  "$BIN" recover "$IMG" 0 --to "$WORK/cli" "${path_list[@]}" >/dev/null
  end=$(date +%s.%N)
  ((i == 0)) && continue  # the untimed warm-up run
  gui_times+=("$(awk '/^save /{print $2}' <<<"$out")")
  open_times+=("$(awk '/^open /{print $2}' <<<"$out")")
  cli_times+=("$(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.3f", b - a}')")
done

# Each side's manifest names its own target folder, so the two differ by
# design; \`orvaldi verify\` checks them (the tests do), here only the files count.
(cd "$WORK/gui" && find . -type f ! -path ./manifest.jsonl -print0 | xargs -0 sha256sum | sed 's| \./| ./根目录/|' | sort -k2) >"$WORK/gui.sums"
(cd "$WORK/cli" && find . -type f ! -path ./manifest.jsonl -print0 | xargs -0 sha256sum | sort -k2) >"$WORK/cli.sums"
files=$(wc -l <"$WORK/cli.sums")
bytes=$(du -sb --apparent-size "$WORK/cli" | cut -f1)
g=$(printf '%s\n' "${gui_times[@]}" | best)
c=$(printf '%s\n' "${cli_times[@]}" | best)
o=$(printf '%s\n' "${open_times[@]}" | best)
printf 'selection: %s (%s files, %s bytes)\n' "$PATHS" "$files" "$bytes"
printf 'window, Ctrl+S to end message   %8.3f s  (its partition open: %.3f s)\n' "$g" "$o"
printf 'orvaldi recover (open + save)   %8.3f s\n' "$c"
awk -v g="$g" -v c="$c" 'BEGIN{printf "ratio window / command line    %8.2f\n", g / c}'
if ! diff -q "$WORK/gui.sums" "$WORK/cli.sums" >/dev/null; then
  diff "$WORK/gui.sums" "$WORK/cli.sums" | head -20 >&2
  echo "gui_save_bench: the window's and the command line's files differ" >&2
  exit 1
fi
