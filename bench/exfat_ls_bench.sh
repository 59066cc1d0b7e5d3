#!/usr/bin/env bash
# Times a recursive listing of an exFAT image: The Sleuth Kit's `fls -r -p` against `orvaldi ls IMG 0 --json`.
#
# Usage: bench/exfat_ls_bench.sh IMG ORVALDI_BIN
#
# As bench/fat_ls_bench.sh: RUNS runs each (default 3) after one untimed pass,
# the median wall-clock seconds and peak RSS of each, and fls / orvaldi
# (above 1 means orvaldi is faster). Make an image of 100,000 files and
# folders with bench/make_exfat_bench_image.sh.
set -euo pipefail

IMG=${1:?usage: exfat_ls_bench.sh IMG ORVALDI_BIN}
BIN=${2:?usage: exfat_ls_bench.sh IMG ORVALDI_BIN}
RUNS=${RUNS:-3}

# shellcheck source=tools/bench_lib.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tools/bench_lib.sh"

bench_start
bench_fls
bench_orvaldi exFAT || exit 1
