#!/usr/bin/env bash
# Times the desktop program's partition window on a large image: how long
# after the scan of partition 0 ends the window shows its folder tree, and how
# long opening a folder of 10,000 sub-folders takes. Offscreen, no display
# needed.
#
# Usage: bench/gui_open_bench.sh IMG [GUI_TESTS_BIN]
#
# IMG: for instance the 100,000-entry NTFS image of
# bench/make_ntfs_bench_image.sh. GUI_TESTS_BIN defaults to
# build/tests/app/orvaldi_gui_tests. Runs RUNS times (default 3).
set -euo pipefail

IMG=${1:?usage: gui_open_bench.sh IMG [GUI_TESTS_BIN]}
BIN=${2:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/tests/app/orvaldi_gui_tests}
RUNS=${RUNS:-3}

[[ -r $IMG ]] || { echo "gui_open_bench: cannot read $IMG" >&2; exit 2; }
[[ -x $BIN ]] || { echo "gui_open_bench: $BIN is not built" >&2; exit 2; }
cat "$IMG" >/dev/null  # warm the page cache

for ((i = 1; i <= RUNS; i++)); do
  QT_QPA_PLATFORM=offscreen ORVALDI_GUI_BENCH_IMAGE=$IMG \
    "$BIN" --gtest_filter='PartitionWindowBench.*' 2>/dev/null | grep -E '^(scan|folder)'
done
