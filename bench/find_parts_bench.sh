#!/usr/bin/env bash
# Times the lost-partition search by sector (find-parts --mode sector) beside a plain sequential read of the same cached image.
# Usage: bench/find_parts_bench.sh [IMG] [ORVALDI_BIN]
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

# The search must run to its end: a failing run would look fast.
"$BIN" find-parts "$IMG" --mode sector > /dev/null || { echo "find-parts failed on $IMG" >&2; exit 1; }

read_times=() find_times=()
for ((i = 0; i < RUNS; i++)); do
  read_times+=("$(seconds dd if="$IMG" of=/dev/null bs=10M status=none)")
  find_times+=("$(seconds "$BIN" find-parts "$IMG" --mode sector)")
done
read_s=$(printf '%s\n' "${read_times[@]}" | median)
find_s=$(printf '%s\n' "${find_times[@]}" | median)
mib=$(echo "$bytes / 1048576" | bc -l)
printf 'image: %s (%d bytes); %d runs each\n' "$IMG" "$bytes" "$RUNS"
printf 'sequential read (dd, 10 MiB blocks)    median %8.3f s  %8.0f MiB/s\n' "$read_s" "$(echo "$mib / $read_s" | bc -l)"
printf 'orvaldi find-parts --mode sector       median %8.3f s  %8.0f MiB/s\n' "$find_s" "$(echo "$mib / $find_s" | bc -l)"
printf 'search speed / read speed: %.0f%%\n' "$(echo "100 * $read_s / $find_s" | bc -l)"
