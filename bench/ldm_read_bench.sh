#!/usr/bin/env bash
# Reading assembled dynamic volumes against reading their member images:
# `orvaldi rawscan MEMBERS --part VOLUME` sweeps every sector of the volume
# through its stripe mapping, and `orvaldi rawscan IMAGE` sweeps each member
# image on its own, one after the other. The figure is throughput (MB/s):
# the volume's over the members'; 0.5 or more is the aim.
#
# Usage: bench/ldm_read_bench.sh [ORVALDI_BIN]
# The corpus images (../shared/corpus/ldm) are unpacked into WORK (default
# /tmp). Each command runs RUNS times (default 5); the best time counts.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN=$(realpath -m "${1:-$ROOT/build/src/orvaldi}")
CORPUS="$ROOT/../shared/corpus/ldm"
RUNS=${RUNS:-5}
WORK=${WORK:-/tmp}
[[ -x $BIN ]] || { echo "ldm_read_bench: $BIN is not an executable" >&2; exit 2; }

DIR=$(mktemp -d "$WORK/orvaldi-ldmbench.XXXXXX")
trap 'rm -rf "$DIR"' EXIT

best() {  # best CMD...: the best wall-clock seconds of RUNS runs
  local i t0 t1 b=
  for ((i = 1; i <= RUNS; i++)); do
    t0=${EPOCHREALTIME/./}
    "$@" >/dev/null 2>"$DIR/err" || { echo "failed: $* ($(tail -n 2 "$DIR/err" | tr '\n' ' '))" >&2; return 1; }
    t1=${EPOCHREALTIME/./}
    if [[ -z $b ]] || ((t1 - t0 < b)); then b=$((t1 - t0)); fi
  done
  awk -v us="$b" 'BEGIN { printf "%.4f", us / 1e6 }'
}

members_one_by_one() { local f; for f in "$@"; do "$BIN" rawscan "$f"; done; }

bench() {  # bench LABEL VOLUME VOLUME_SECTORS IMAGE...
  local label=$1 volume=$2 sectors=$3 list="" bytes=0 f
  shift 3
  for f in "$@"; do
    [[ -f $DIR/$f.img ]] || gzip -dc "$CORPUS/libldm-ldm-$f.img.gz" >"$DIR/$f.img"
    cat "$DIR/$f.img" >/dev/null
    list+="${list:+,}$DIR/$f.img"
    bytes=$((bytes + $(stat -c %s "$DIR/$f.img")))
  done
  local v m
  v=$(best "$BIN" rawscan "$list" --part "$volume")
  m=$(best members_one_by_one $(printf "$DIR/%s.img " "$@"))
  awk -v l="$label" -v vb="$((sectors * 512))" -v v="$v" -v mb="$bytes" -v m="$m" 'BEGIN {
    printf "%-26s volume %6.1f MB in %.3f s (%6.0f MB/s); members %6.1f MB in %.3f s (%6.0f MB/s); ratio %.2f\n",
      l, vb / 1e6, v, vb / v / 1e6, mb / 1e6, m, mb / m / 1e6, (vb / v) / (mb / m) }'
}

bench "2003 R2 striped (2)" Stripe1 122880 2003r2-striped-1 2003r2-striped-2
bench "2003 R2 RAID-5 (3)" Raid1 192512 2003r2-raid5-1 2003r2-raid5-2 2003r2-raid5-3
bench "2003 R2 RAID-5, one out" Raid1 192512 2003r2-raid5-1 2003r2-raid5-3
