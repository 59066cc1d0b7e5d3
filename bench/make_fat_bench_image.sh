#!/usr/bin/env bash
# Builds a FAT32 image with 100,000 files and folders (1,000 folders x 99 small files) for timing directory listings.
#
# Usage: bench/make_fat_bench_image.sh OUT.img
#
# The tree: 100 top folders "Folder 000".."Folder 099", each holding nine
# subfolders sub1..sub9; every one of those 1,000 folders holds 99 small
# files, named in turn as 8.3 upper case (F0000001.DAT), long names with
# spaces (report 000 sub1 002.txt) and, every fifth, Chinese long names
# (报告 000-1-004.txt), so a listing has to assemble LFN runs for most of them.
#
# Files are written with mtools, one mmd for all folders and one mcopy per
# folder with its files in sorted order, so the image is the same bytes on
# every run (clock frozen with libfaketime, fixed serial). FAST=1 instead
# copies the whole tree with one `mcopy -s`: several times quicker, same tree,
# but the order of entries then follows the host file system's readdir.
#
# Knobs (environment): SIZE (default 512M), SPC sectors per cluster (default
# 8, i.e. 4 KiB clusters, what Windows picks for FAT32 of this size), TOPS
# (default 100 top folders; 10 folders of 99 files each per top folder).
# The image is not kept in the repository; build it where you need it.
set -euo pipefail

OUT=${1:?usage: make_fat_bench_image.sh OUT.img}
SIZE=${SIZE:-512M}
SPC=${SPC:-8}
export TOPS=${TOPS:-100}
FAST=${FAST:-}

# shellcheck source=tools/image_lib.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tools/image_lib.sh"

REQUIRED=(mkfs.fat dosfstools  fsck.fat dosfstools  mcopy mtools  mmd mtools  fls sleuthkit  python3 python3)
install_missing "${REQUIRED[@]}"

OUT=$(realpath -m "$OUT")
make_workdir fatbench
START=$(date +%s.%N)

# ---------------------------------------------------------------- local tree
log "writing the local tree"
python3 - <<'PY'
import os
from imagelib import bench_tree
dirs = []
for p, files in bench_tree(int(os.environ["TOPS"])):
    dirs.append(p)
    os.makedirs(os.path.join("tree", p), exist_ok=True)
    for name, body in files:
        with open(os.path.join("tree", p, name), "w", encoding="utf-8") as f:
            f.write(body)
with open("dirs.txt", "w", encoding="utf-8") as f:
    f.write("\n".join(dirs) + "\n")
PY
log "local tree ready after $(stamp) s"

# ---------------------------------------------------------------- image
MT_START=$(date +%s.%N)
rm -f "$OUT"
truncate -s "$SIZE" "$OUT"
at "2024-03-01 09:00:00" mkfs.fat -F 32 -s "$SPC" -i 0bec0bec -n FATBENCH "$OUT" >/dev/null
if [[ -n $FAST ]]; then
  log "mcopy -s (FAST=1: entry order follows this host's readdir)"
  mapfile -t tops < <(cd tree && printf '%s\n' * | LC_ALL=C sort)
  (cd tree && at "2024-03-01 09:10:00" mcopy -s -i "$OUT" "${tops[@]}" ::/)
  CALLS=1
else
  mapfile -t dirs <dirs.txt
  at "2024-03-01 09:05:00" mmd -i "$OUT" "${dirs[@]/#/::}"
  log "folders made after $(stamp) s; copying files, one mcopy per folder"
  CALLS=1
  for d in "${dirs[@]}"; do
    mapfile -t files < <(find "tree/$d" -maxdepth 1 -type f | LC_ALL=C sort)
    at "2024-03-01 09:10:00" mcopy -i "$OUT" "${files[@]}" "::$d/"
    CALLS=$((CALLS + 1))
    ((CALLS % 100 == 1)) && log "  $((CALLS - 1)) folders after $(stamp) s"
  done
fi
MT_S=$(stamp "$MT_START")
BUILD_S=$(stamp)

# ---------------------------------------------------------------- checks
fsck_out=$(fsck.fat -n "$OUT" 2>&1) || die "fsck.fat: $fsck_out"
nfiles=$(fls -r -p "$OUT" | grep -c '^r/r [0-9]' || true)
ndirs=$(fls -r -p "$OUT" | grep -c '^d/d [0-9]' || true)
log "fsck.fat: $(tail -n1 <<<"$fsck_out")"
log "fls -r: $nfiles files (incl. the volume label entry), $ndirs folders"
log "built $OUT ($SIZE, $SPC sectors per cluster): mkfs.fat + $CALLS mtools calls took $MT_S s; $BUILD_S s with the local tree, $(stamp) s with the checks"
