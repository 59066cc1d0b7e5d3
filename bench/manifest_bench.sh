#!/usr/bin/env bash
# Times what writing the manifest costs: `orvaldi recover` of the recover
# bench image and `orvaldi carve` of the raw-scan bench image, each with its
# manifest (sha256 along the copy, sectors read, content checks) and with
# --no-manifest, the save as it was before the manifest.
#
# Usage: bench/manifest_bench.sh [RECOVER_IMG] [RAWSCAN_IMG] [ORVALDI_BIN]
#
# The images default to /tmp/recoverbench.img and /tmp/rawscanbench.img
# (bench/make_recover_bench_image.sh, bench/make_rawscan_bench_image.sh).
# Every command runs once untimed and RUNS times (default 3) timed into an
# empty folder under TARGET (default /dev/shm); the best time counts. The
# last line of each pair is the manifest's cost in per cent of the run
# without it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RIMG=$(realpath -m "${1:-/tmp/recoverbench.img}")
SIMG=$(realpath -m "${2:-/tmp/rawscanbench.img}")
BIN=${3:-$ROOT/build/src/orvaldi}
RUNS=${RUNS:-3}
TARGET=${TARGET:-/dev/shm}
export LC_ALL=C.UTF-8

for f in "$RIMG" "$SIMG"; do [[ -r $f ]] || { echo "cannot read $f" >&2; exit 1; }; done
WORK=$(mktemp -d "$TARGET/orvaldi-manifestbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cat "$RIMG" "$SIMG" >/dev/null

# best LABEL CMD... - prints and returns (in BEST) the best wall time of RUNS runs
best() {
  local label=$1; shift
  local t b=""
  for ((i = 0; i <= RUNS; i++)); do
    rm -rf "$WORK/out"
    local s=$(date +%s.%N)
    "$@" --to "$WORK/out" >/dev/null 2>&1 || [[ $? == 6 ]]
    t=$(echo "$(date +%s.%N) - $s" | bc)
    ((i == 0)) && continue
    if [[ -z $b ]] || (($(echo "$t < $b" | bc))); then b=$t; fi
  done
  BEST=$b
  printf '  %-40s best %6.3f s\n' "$label" "$b"
}

for what in recover carve; do
  if [[ $what == recover ]]; then args=(recover "$RIMG" 0); else args=(carve "$SIMG"); fi
  echo "$what:"
  best "without manifest (--no-manifest)" "$BIN" "${args[@]}" --no-manifest
  without=$BEST
  best "with manifest" "$BIN" "${args[@]}"
  with=$BEST
  printf '  manifest cost: %+.1f %%\n' "$(echo "($with - $without) * 100 / $without" | bc -l)"
  "$BIN" "${args[@]}" --to "$WORK/out2" 2>/dev/null | grep '^清单' || true
  rm -rf "$WORK/out2"
done
