#!/usr/bin/env bash
# Times imaging: `orvaldi image` against GNU ddrescue on the same source, a
# healthy cached image and the same kind of image served through FUSE with
# unreadable sectors.
#
# Usage: bench/image_bench.sh [ORVALDI_BIN] [FAULTYFS_BIN]
#
# ORVALDI_BIN defaults to build/src/orvaldi, FAULTYFS_BIN to
# build/tools/orvaldi-faultyfs. The images are made in WORK (default
# /tmp): a healthy one of SIZE_MIB (default 1024) MiB of random bytes, and
# for the faulty run the first BAD_MIB (default 256) MiB of it, mounted with
# BAD (default: 40 scattered sectors and a 64-sector area) failing with EIO.
# Outputs go to TARGET (default /dev/shm, a tmpfs). Each command runs RUNS
# times (default 3) with a fresh output and map; the best time counts.
# Neither tool syncs its output. After the runs the outputs are compared: the
# images must be equal byte for byte (both fill nothing into a healthy copy;
# on the faulty source orvaldi writes 0x20 where ddrescue leaves zeros, so
# there the bad-sector lists from the two maps are compared instead).
# Needs gddrescue, fuse3 and time.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN=$(realpath -m "${1:-$ROOT/build/src/orvaldi}")
FAULTYFS=$(realpath -m "${2:-$ROOT/build/tools/orvaldi-faultyfs}")
RUNS=${RUNS:-3}
WORK=${WORK:-/tmp}
TARGET=${TARGET:-/dev/shm}
SIZE_MIB=${SIZE_MIB:-1024}
BAD_MIB=${BAD_MIB:-256}
BAD=${BAD:-}

# shellcheck source=tools/bench_lib.sh
source "$ROOT/tools/bench_lib.sh"
command -v ddrescue >/dev/null || die "ddrescue not found (apt-get install gddrescue)"
[[ -x $BIN ]] || die "$BIN is not an executable"
[[ -x $FAULTYFS ]] || die "$FAULTYFS is not an executable"

DIR=$(mktemp -d "$WORK/orvaldi-imagebench.XXXXXX")
OUT=$(mktemp -d "$TARGET/orvaldi-imagebench.XXXXXX")
MNT="$DIR/mnt"
FUSE_PID=
cleanup() {
  [[ -n $FUSE_PID ]] && { fusermount3 -u "$MNT" 2>/dev/null || true; kill "$FUSE_PID" 2>/dev/null || true; wait "$FUSE_PID" 2>/dev/null || true; }
  rm -rf "$DIR" "$OUT"
}
trap cleanup EXIT

# best NAME CMD... - RUNS timed runs, each with fresh outputs; prints the best seconds
best() {
  local name=$1 i t0 t1 rc best=; shift
  for ((i = 1; i <= RUNS; i++)); do
    rm -f "$OUT"/*
    rc=0
    t0=${EPOCHREALTIME/./}
    "$@" >/dev/null 2>"$DIR/$name.err" || rc=$?
    t1=${EPOCHREALTIME/./}
    # orvaldi says 6 when sectors were unreadable, ddrescue 0
    if ((rc != 0 && rc != 6)); then
      printf '%s failed (exit %d): %s\n' "$name" "$rc" "$(tail -n 3 "$DIR/$name.err" | tr '\n' ' ')" >&2
      return 1
    fi
    if [[ -z $best ]] || ((t1 - t0 < best)); then best=$((t1 - t0)); fi
    cp "$OUT/$name.map" "$DIR/$name.map" 2>/dev/null || true
  done
  awk -v us="$best" 'BEGIN { printf "%.3f", us / 1e6 }'
}

line() { # LABEL BYTES SECONDS
  awk -v l="$1" -v b="$2" -v s="$3" 'BEGIN { printf "%-34s %8.3f s  %7.0f MB/s\n", l, s, b / s / 1e6 }'
}

compare() { # LABEL BYTES SOURCE KEY (KEY names the figures for bench/run)
  local label=$1 bytes=$2 src=$3 key=$4 o d
  o=$(best orvaldi "$BIN" image "$src" --to "$OUT/orvaldi.img" --mapfile "$OUT/orvaldi.map")
  cp "$OUT/orvaldi.img" "$DIR/orvaldi.img"
  d=$(best ddrescue ddrescue -q "$src" "$OUT/ddrescue.img" "$OUT/ddrescue.map")
  line "$label: orvaldi image" "$bytes" "$o"
  line "$label: ddrescue" "$bytes" "$d"
  figure "${key}_orvaldi_s" "$o"
  figure "${key}_ddrescue_s" "$d"
  awk -v o="$o" -v d="$d" -v l="$label" 'BEGIN { printf "%s: time orvaldi / ddrescue = %.2f\n", l, o / d }'
}

HEALTHY="$DIR/healthy.img"
head -c "$((SIZE_MIB << 20))" /dev/urandom >"$HEALTHY"
cat "$HEALTHY" >/dev/null
compare "healthy ${SIZE_MIB} MiB" "$((SIZE_MIB << 20))" "$HEALTHY" healthy
if ! cmp -s "$DIR/orvaldi.img" "$OUT/ddrescue.img"; then
  echo "healthy: the two images differ" >&2
  exit 1
fi

FAULTY="$DIR/faulty.img"
head -c "$((BAD_MIB << 20))" "$HEALTHY" >"$FAULTY"
rm -f "$HEALTHY"
if [[ -z $BAD ]]; then
  sectors=$((BAD_MIB * 2048))
  BAD=$(awk -v n="$sectors" 'BEGIN { srand(7); for (i = 0; i < 40; i++) printf "%d,", int(rand() * n); printf "%d-%d", n / 2, n / 2 + 63 }')
fi
mkdir "$MNT"
"$FAULTYFS" "$FAULTY" "$MNT" "$BAD" -f &
FUSE_PID=$!
for _ in $(seq 200); do [[ -f $MNT/faulty.img ]] && break; sleep 0.05; done
[[ -f $MNT/faulty.img ]] || die "the FUSE mount did not come up"
compare "EIO source ${BAD_MIB} MiB" "$((BAD_MIB << 20))" "$MNT/faulty.img" faulty
o=$(ddrescuelog -b 512 --list-blocks=- "$DIR/orvaldi.map" | wc -l)
d=$(ddrescuelog -b 512 --list-blocks=- "$DIR/ddrescue.map" | wc -l)
printf 'bad sectors: orvaldi %s, ddrescue %s\n' "$o" "$d"
if ! diff <(ddrescuelog -b 512 --list-blocks=- "$DIR/orvaldi.map") <(ddrescuelog -b 512 --list-blocks=- "$DIR/ddrescue.map") >/dev/null; then
  echo "EIO source: the bad-sector lists differ" >&2
  exit 1
fi
