#!/usr/bin/env bash
# Times the desktop program's file list: selecting a folder of 500,000 files
# (a scan tree made in memory, as a scan of one huge NTFS folder leaves it):
# how long until its first rows exist and are painted, and the resident
# memory of the process before and after selecting it. Offscreen, no display
# needed.
#
# Usage: bench/gui_list_bench.sh [GUI_TESTS_BIN]
#
# GUI_TESTS_BIN defaults to build/tests/app/orvaldi_gui_tests. Knobs
# (environment): FILES (default 500000), RUNS (default 3).
set -euo pipefail

BIN=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/tests/app/orvaldi_gui_tests}
FILES=${FILES:-500000}
RUNS=${RUNS:-3}

[[ -x $BIN ]] || { echo "gui_list_bench: $BIN is not built" >&2; exit 2; }

for ((i = 1; i <= RUNS; i++)); do
  QT_QPA_PLATFORM=offscreen ORVALDI_GUI_LIST_BENCH=$FILES \
    "$BIN" --gtest_filter='PartitionWindowBench.ListsAFolderOfHalfAMillionFiles' 2>/dev/null | grep -E '^folder'
done
