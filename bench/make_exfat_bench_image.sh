#!/usr/bin/env bash
# Builds an exFAT image with 100,000 files and folders (the listing benchmarks' tree: 1,000 folders x 99 small files) for timing directory listings.
#
# Usage: bench/make_exfat_bench_image.sh OUT.img
#
# The tree is the one bench/make_fat_bench_image.sh writes (imagelib's
# bench_tree), copied through an exfat-fuse mount of the image (through a loop
# device: exfat-fuse run as root wants a block device) with the clock frozen.
# Needs root. SIZE (default 512M) sets the volume's size; clusters are 4 KiB. TOPS
# (default 100) the number of top folders, as for FAT. The image is not
# kept in the repository; build it where you need it.
set -euo pipefail

OUT=${1:?usage: make_exfat_bench_image.sh OUT.img}
SIZE=${SIZE:-512M}
export TOPS=${TOPS:-100}

# shellcheck source=tools/image_lib.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tools/image_lib.sh"

REQUIRED=(mkfs.exfat exfatprogs  mount.exfat-fuse exfat-fuse  fusermount fuse3  fls sleuthkit  python3 python3)
install_missing "${REQUIRED[@]}"
need_root "FUSE mount of the image"
need_fuse

OUT=$(realpath -m "$OUT")
make_workdir exfatbench
START=$(date +%s.%N)

log "writing the local tree"
python3 - <<'PY'
import os
from imagelib import bench_tree
for p, files in bench_tree(int(os.environ["TOPS"])):
    os.makedirs(os.path.join("tree", p), exist_ok=True)
    for name, body in files:
        with open(os.path.join("tree", p, name), "w", encoding="utf-8") as f:
            f.write(body)
PY

rm -f "$OUT"
truncate -s "$SIZE" "$OUT"
frozen "2024-03-05 10:20:30" mkfs.exfat -c 4096 -L BENCH "$OUT" >/dev/null
LOOP=$(losetup --find --show "$OUT")
LOOPS+=("$LOOP")
mkdir -p "$MNT"
frozen "2024-03-05 10:20:30" mount.exfat-fuse "$LOOP" "$MNT" >/dev/null 2>&1
wait_mount "$MNT" || die "exfat-fuse mount failed"
log "copying the tree through the mount"
cp -r tree/. "$MNT/"
sync
fusermount -u "$MNT"
sleep 0.5
losetup -d "$LOOP"
LOOPS=()
log "$OUT: $(fls -r -p "$OUT" | wc -l) fls lines, $(stamp) s"
