#!/usr/bin/env bash
# Times the NTFS record search by sector (ls --mode deep) beside a plain sequential read of the same cached image.
# Usage: bench/ntfs_deep_bench.sh [IMG] [ORVALDI_BIN]
#   IMG defaults to the 1 GiB Windows-made volume of the shared corpus, expanded into /tmp.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
IMG="${1:-/tmp/ntfs-cloud-1GiB.img}"
BIN="${2:-$ROOT/build/src/orvaldi}"
RUNS="${RUNS:-3}"

if [[ ! -f "$IMG" ]]; then
  SRC="$ROOT/../shared/corpus/ntfs/dissect-ntfs-cloud-1GiB.img.gz"
  [[ -f "$SRC" ]] || { echo "no image: $IMG (and no corpus copy at $SRC)" >&2; exit 1; }
  gzip -dc "$SRC" > "$IMG"
fi

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
seconds() { local s e; s=$(date +%s.%N); "$@" > /dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }

bytes=$(stat -c %s "$IMG")
cat "$IMG" > /dev/null  # warm the page cache

read_times=() deep_times=()
for ((i = 0; i < RUNS; i++)); do
  read_times+=("$(seconds dd if="$IMG" of=/dev/null bs=30M status=none)")
  deep_times+=("$(seconds "$BIN" ls "$IMG" 0 --mode deep --json)")
done
read_s=$(printf '%s\n' "${read_times[@]}" | median)
deep_s=$(printf '%s\n' "${deep_times[@]}" | median)
sectors=$((bytes / 512))
printf 'image: %s (%d bytes, %d sectors); %d runs each\n' "$IMG" "$bytes" "$sectors" "$RUNS"
printf 'sequential read (dd, 30 MiB blocks)  median %8.3f s  %10.0f sectors/s\n' "$read_s" "$(echo "$sectors / $read_s" | bc -l)"
printf 'orvaldi ls --mode deep               median %8.3f s  %10.0f sectors/s\n' "$deep_s" "$(echo "$sectors / $deep_s" | bc -l)"
printf 'search speed / read speed: %.0f%%\n' "$(echo "100 * $read_s / $deep_s" | bc -l)"
