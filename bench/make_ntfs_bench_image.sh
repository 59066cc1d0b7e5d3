#!/usr/bin/env bash
# Builds an NTFS image with 100,000 files and folders (1,000 folders x 99 small files) through an ntfs-3g FUSE mount, for timing directory listings.
#
# Usage: sudo bench/make_ntfs_bench_image.sh OUT.img
#
# The tree is the one bench/make_fat_bench_image.sh builds: 100 top folders
# "Folder 000".."Folder 099", each holding nine subfolders sub1..sub9; every
# one of those 1,000 folders holds 99 small files (40 to 900 bytes; about two
# thirds are resident in their MFT record, the rest take one cluster), named
# in turn as 8.3 upper case
# (F0000001.DAT), long names with spaces (report 000 sub1 002.txt) and, every
# fifth, Chinese names (报告 000-1-004.txt). Each folder of 99 names needs an
# index allocation of several index records.
#
# mkntfs formats the file, then one python process creates the folders and
# files in sorted order through the mount (ntfs-3g -o big_writes), with the
# clock frozen by libfaketime, so record numbers follow that order. Needs root
# (FUSE). Knobs (environment): SIZE (default 512M), TOPS (default 100 top
# folders; 10 subfolders each counting the top one, 99 files per folder).
# The image is not kept in the repository; build it where you need it.
set -euo pipefail

OUT=${1:?usage: make_ntfs_bench_image.sh OUT.img}
SIZE=${SIZE:-512M}
TOPS=${TOPS:-100}

# shellcheck source=tools/image_lib.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tools/image_lib.sh"

REQUIRED=(mkntfs ntfs-3g  ntfs-3g ntfs-3g  ntfsinfo ntfs-3g  fusermount fuse3  fls sleuthkit  python3 python3)
install_missing "${REQUIRED[@]}"
need_root "FUSE mount"
need_fuse

OUT=$(realpath -m "$OUT")
make_workdir ntfsbench
START=$(date +%s.%N)

# ---------------------------------------------------------------- format + mount
rm -f "$OUT"
truncate -s "$SIZE" "$OUT"
at "2024-03-01 09:00:00" mkntfs -Q -F -q -p 2048 -H 255 -S 63 -s 512 -c 4096 -L NTFSBENCH "$OUT" >/dev/null 2>&1
ntfs3g_mount "$OUT" "$MNT" "2024-03-01 09:10:00" no_detach,noatime,big_writes "$WORK/ntfs-3g.log"

# ---------------------------------------------------------------- the tree
log "creating $((TOPS * 10)) folders with 99 files each through the mount"
FILL_START=$(date +%s.%N)
python3 - "$MNT" "$TOPS" <<'PY'
import os, sys, time
from imagelib import bench_tree
mnt, tops = sys.argv[1], int(sys.argv[2])
t0 = time.time()
n = 0
for k, (p, files) in enumerate(bench_tree(tops)):
    os.mkdir(os.path.join(mnt, p))
    for name, body in files:
        with open(os.path.join(mnt, p, name), "w", encoding="utf-8") as f:
            f.write(body)
    n += len(files)
    if (k + 1) % 100 == 0:
        print(f"== {k + 1} folders, {n} files after {time.time() - t0:.1f} s", file=sys.stderr, flush=True)
PY
FILL_S=$(stamp "$FILL_START")

ntfs3g_umount "$MNT"
BUILD_S=$(stamp)

# ---------------------------------------------------------------- checks
ntfsinfo -m "$OUT" >/dev/null 2>&1 || die "ntfsinfo -m refuses the image"
listing=$(fls -r -p "$OUT")
nfiles=$(grep -c '^r/r [0-9]*-128-[0-9]*:	[^$]' <<<"$listing" || true)
ndirs=$(grep -c '^d/d [0-9]*-144-[0-9]*:	[^$]' <<<"$listing" || true)
log "fls -r: $nfiles files, $ndirs folders outside the system files ($(wc -l <<<"$listing") lines)"
log "built $OUT ($SIZE): creating the tree through the mount took $FILL_S s; $BUILD_S s with mkntfs and the unmount, $(stamp) s with the checks"
