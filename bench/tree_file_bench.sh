#!/usr/bin/env bash
# Times ls with --save-tree against ls with --load-tree (the scan skipped) and
# gives the tree file's size, for one partition of an image.
# Usage: bench/tree_file_bench.sh IMG [PART] [MODE] [ORVALDI_BIN]
#   e.g. bench/tree_file_bench.sh /tmp/ntfs-bench.img 0 walk   (bench/make_ntfs_bench_image.sh)
#        bench/tree_file_bench.sh /tmp/ntfs-cloud-1GiB.img 0 deep
# RUNS (default 3) runs each; medians are printed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
IMG="${1:?usage: tree_file_bench.sh IMG [PART] [MODE] [ORVALDI_BIN]}"
PART="${2:-0}"
MODE="${3:-walk}"
BIN="${4:-$ROOT/build/src/orvaldi}"
RUNS="${RUNS:-3}"
TREE="$(mktemp -d)/part.orvtree"
trap 'rm -rf "$(dirname "$TREE")"' EXIT

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
seconds() { local s e; s=$(date +%s.%N); "$@" > /dev/null 2>&1 || true; e=$(date +%s.%N); echo "$e - $s" | bc -l; }

cat "$IMG" > /dev/null  # warm the page cache
rows=$("$BIN" ls --json "$IMG" "$PART" --mode "$MODE" 2>/dev/null | wc -l)
scan=$(for _ in $(seq "$RUNS"); do seconds "$BIN" ls --json "$IMG" "$PART" --mode "$MODE"; done | median)
save=$(for _ in $(seq "$RUNS"); do seconds "$BIN" ls --json "$IMG" "$PART" --mode "$MODE" --save-tree "$TREE"; done | median)
load=$(for _ in $(seq "$RUNS"); do seconds "$BIN" ls --json "$IMG" "$PART" --load-tree "$TREE"; done | median)
# The list alone, without reading or writing the tree file: what the tree's
# own part of each run costs is the difference.
cmp <("$BIN" ls --json "$IMG" "$PART" --mode "$MODE" 2>/dev/null) \
    <("$BIN" ls --json "$IMG" "$PART" --load-tree "$TREE" 2>/dev/null) && same=yes || same=NO
printf 'image %s, partition %s, --mode %s: %d rows; %d runs each\n' "$IMG" "$PART" "$MODE" "$rows" "$RUNS"
printf 'ls --json (scan)               median %8.3f s\n' "$scan"
printf 'ls --json --save-tree (scan)   median %8.3f s   tree file %d bytes\n' "$save" "$(stat -c %s "$TREE")"
printf 'ls --json --load-tree (no scan) median %7.3f s   same listing: %s\n' "$load" "$same"
