#!/usr/bin/env bash
# Times a recursive listing of a FAT image: The Sleuth Kit's `fls -r -p` against `orvaldi ls IMG 0 --json`.
#
# Usage: bench/fat_ls_bench.sh IMG ORVALDI_BIN
#
# Each command runs RUNS times (default 3) after one untimed pass over the
# image, so both are measured with the image in the page cache. Output goes to
# /dev/null. Prints the median wall-clock seconds and the peak RSS of each, and
# fls / orvaldi (above 1 means orvaldi is faster). Wall time is taken around
# each run, peak RSS from GNU time's %M. If orvaldi fails, the script says so,
# still reports fls, and exits 1.
#
# Make an image with bench/make_fat_bench_image.sh.
set -euo pipefail

IMG=${1:?usage: fat_ls_bench.sh IMG ORVALDI_BIN}
BIN=${2:?usage: fat_ls_bench.sh IMG ORVALDI_BIN}
RUNS=${RUNS:-3}

# shellcheck source=tools/bench_lib.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tools/bench_lib.sh"

bench_start
bench_fls
bench_orvaldi FAT || exit 1
