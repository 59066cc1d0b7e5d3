#!/usr/bin/env bash
# Builds an NTFS image holding about 1 GiB of incompressible files (large, medium and small) through an ntfs-3g FUSE mount, for timing recovery.
#
# Usage: sudo bench/make_recover_bench_image.sh [OUTDIR]
#
# Writes OUTDIR/recoverbench.img (OUTDIR defaults to /tmp; a folder inside
# the repository is refused) and OUTDIR/recoverbench.sha256, the sha256sum
# list of every file written, with paths relative to the volume's root:
#
#   large/large-0.bin .. large-7.bin         8 x 100 MiB
#   medium/medium-000.bin .. medium-199.bin  200 x 1 MiB
#   small/dir-00 .. dir-19                   4,000 files of 10 B to 64 KiB,
#                                            log-uniform (28 MiB in all; the
#                                            ones under ~600 B, almost half,
#                                            stay resident in their record)
#
# Contents are pseudo-random (shake-256 seeded by the path), so no two
# sectors are alike and nothing compresses; the volume is not compressed
# either. mkntfs formats the file (4 KiB clusters), then one python process
# writes the files in the order above through the mount (ntfs-3g -o
# big_writes) with the clock frozen by libfaketime. Needs root (FUSE).
# Knobs (environment): SIZE (default 1400M), NLARGE (8), LARGE_MIB (100),
# NMEDIUM (200), NSMALL (4000).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUTDIR=${1:-/tmp}
SIZE=${SIZE:-1400M}
NLARGE=${NLARGE:-8}
LARGE_MIB=${LARGE_MIB:-100}
NMEDIUM=${NMEDIUM:-200}
NSMALL=${NSMALL:-4000}

# shellcheck source=tools/image_lib.sh
source "$ROOT/tools/image_lib.sh"

OUTDIR=$(realpath -m "$OUTDIR")
case "$OUTDIR/" in "$ROOT"/*) die "$OUTDIR is inside the repository; build the image elsewhere (default /tmp)" ;; esac
mkdir -p "$OUTDIR"
OUT="$OUTDIR/recoverbench.img"
SUMS="$OUTDIR/recoverbench.sha256"

REQUIRED=(mkntfs ntfs-3g  ntfs-3g ntfs-3g  ntfsinfo ntfs-3g  fusermount fuse3  fls sleuthkit  python3 python3)
install_missing "${REQUIRED[@]}"
need_root "FUSE mount"
need_fuse

make_workdir recoverbench
START=$(date +%s.%N)

# ---------------------------------------------------------------- format + mount
rm -f "$OUT" "$SUMS"
truncate -s "$SIZE" "$OUT"
at "2024-03-01 09:00:00" mkntfs -Q -F -q -p 2048 -H 255 -S 63 -s 512 -c 4096 -L RECOVERBENCH "$OUT" >/dev/null 2>&1
ntfs3g_mount "$OUT" "$MNT" "2024-03-01 09:10:00" no_detach,noatime,big_writes "$WORK/ntfs-3g.log"

# ---------------------------------------------------------------- the files
log "writing $NLARGE x $LARGE_MIB MiB, $NMEDIUM x 1 MiB and $NSMALL small files through the mount"
FILL_START=$(date +%s.%N)
python3 - "$MNT" "$SUMS" "$NLARGE" "$LARGE_MIB" "$NMEDIUM" "$NSMALL" <<'PY'
import math, os, random, sys, time
from imagelib import sha, stream
mnt, sums = sys.argv[1], sys.argv[2]
nlarge, large_mib, nmedium, nsmall = map(int, sys.argv[3:7])
MiB = 1 << 20

files = [(f"large/large-{i}.bin", large_mib * MiB) for i in range(nlarge)]
files += [(f"medium/medium-{i:03d}.bin", MiB) for i in range(nmedium)]
rng = random.Random("recover bench small sizes")
per_dir = max(1, math.ceil(nsmall / 20))
files += [(f"small/dir-{i // per_dir:02d}/small-{i:04d}.bin", int(10 * 6553.6 ** rng.random()))
          for i in range(nsmall)]

t0, total, lines = time.time(), 0, []
for k, (p, size) in enumerate(files):
    data = stream(p, size)
    full = os.path.join(mnt, p)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        for off in range(0, size, MiB):
            f.write(data[off:off + MiB])
    lines.append(f"{sha(data)}  {p}\n")
    total += size
    if size >= 16 * MiB or (k + 1) % 1000 == 0:
        print(f"== {k + 1} files, {total / MiB:.0f} MiB after {time.time() - t0:.1f} s", file=sys.stderr, flush=True)
with open(sums, "w") as f:
    f.writelines(lines)
print(f"== {len(files)} files, {total} bytes ({total / MiB:.1f} MiB)", file=sys.stderr)
PY
FILL_S=$(stamp "$FILL_START")

ntfs3g_umount "$MNT"
BUILD_S=$(stamp)

# ---------------------------------------------------------------- checks
ntfsinfo -m "$OUT" >/dev/null 2>&1 || die "ntfsinfo -m refuses the image"
listing=$(fls -r -p "$OUT")
nfiles=$(grep -c '^r/r [0-9]*-128-[0-9]*:	[^$]' <<<"$listing" || true)
expect=$(wc -l <"$SUMS")
((nfiles == expect)) || die "fls -r lists $nfiles files, $expect were written"
# a large file in full through The Sleuth Kit, against what was written
inum=$(awk -F'\t' '$2 == "large/large-0.bin" { split($1, a, /[ -]/); print a[2] }' <<<"$listing")
want=$(awk '$2 == "large/large-0.bin" { print $1 }' "$SUMS")
got=$(icat "$OUT" "$inum" | sha256sum | cut -d' ' -f1)
[[ $got == "$want" ]] || die "icat of large/large-0.bin (record $inum) does not match what was written"
log "fls -r: $nfiles files as written; large/large-0.bin reads back through icat"
log "built $OUT ($SIZE, $(du -m "$OUT" | cut -f1) MiB on disk) and $SUMS: writing the files took $FILL_S s; $BUILD_S s with mkntfs and the unmount, $(stamp) s with the checks"
