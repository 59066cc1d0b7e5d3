#!/usr/bin/env bash
# Times the desktop program's "文件筛选" on a large image: from "确定" until
# the rebuilt folder tree is painted, for a few patterns, with partition 0
# opened first. The walk runs on the UI thread, so this is how long the
# window does not answer. Offscreen, no display needed.
#
# Usage: bench/gui_filter_bench.sh IMG [GUI_TESTS_BIN]
#
# IMG: for instance the 100,000-entry FAT or NTFS image of
# bench/make_fat_bench_image.sh or bench/make_ntfs_bench_image.sh.
# GUI_TESTS_BIN defaults to build/tests/app/orvaldi_gui_tests. Runs RUNS
# times (default 3).
set -euo pipefail

IMG=${1:?usage: gui_filter_bench.sh IMG [GUI_TESTS_BIN]}
BIN=${2:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/tests/app/orvaldi_gui_tests}
RUNS=${RUNS:-3}

[[ -r $IMG ]] || { echo "gui_filter_bench: cannot read $IMG" >&2; exit 2; }
[[ -x $BIN ]] || { echo "gui_filter_bench: $BIN is not built" >&2; exit 2; }
cat "$IMG" >/dev/null  # warm the page cache

for ((i = 1; i <= RUNS; i++)); do
  QT_QPA_PLATFORM=offscreen ORVALDI_GUI_FILTER_BENCH_IMAGE=$IMG \
    "$BIN" --gtest_filter='FilterBench.*' 2>/dev/null | grep -E '^(tree|filter)'
done
