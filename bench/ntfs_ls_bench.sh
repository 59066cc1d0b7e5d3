#!/usr/bin/env bash
# Times a recursive listing of an NTFS image: The Sleuth Kit's `fls -r -p` against `orvaldi ls IMG 0 --json`.
#
# Usage: bench/ntfs_ls_bench.sh IMG ORVALDI_BIN
#
# Each command runs RUNS times (default 3) after one untimed pass over the
# image, so both are measured with the image in the page cache. Output goes to
# /dev/null. Prints the median wall-clock seconds and the peak RSS of each,
# fls / orvaldi (above 1 means orvaldi is faster), and orvaldi's peak RSS
# divided by the number of lines it printed (bytes per listed node, counted in
# one extra untimed run). Wall time is taken around each run, peak RSS from
# GNU time's %M. If orvaldi fails (for instance before it can list NTFS), the
# script says so, still reports fls, and exits 1.
#
# Make an image with bench/make_ntfs_bench_image.sh.
set -euo pipefail

IMG=${1:?usage: ntfs_ls_bench.sh IMG ORVALDI_BIN}
BIN=${2:?usage: ntfs_ls_bench.sh IMG ORVALDI_BIN}
RUNS=${RUNS:-3}

# shellcheck source=tools/bench_lib.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tools/bench_lib.sh"

bench_start
bench_fls
bench_orvaldi NTFS || exit 1
lines=$("$BIN" ls "$IMG" 0 --json | wc -l)
if ((lines == 0)); then
  echo "orvaldi exited 0 but printed nothing: no NTFS listing yet? bytes per node: n/a"
  exit 1
fi
awk -v k="$(peak_kib orvaldi)" -v n="$lines" \
  'BEGIN { printf "orvaldi printed %d lines; peak RSS per line: %.0f bytes\n", n, k * 1024 / n }'
