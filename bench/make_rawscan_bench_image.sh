#!/usr/bin/env bash
# Builds a 2 GiB raw disk image of mixed content (MBR, a FAT32 and an NTFS partition full of files, unpartitioned regions of random data, text and zeros, a few hundred real sample files of the nine carved formats) for timing the raw scan.
#
# Usage: sudo bench/make_rawscan_bench_image.sh [OUTDIR]
#
# Writes, in OUTDIR (default /tmp; a folder inside the repository is refused):
#
#   rawscanbench.img         the disk (a sparse file: the zero regions are holes)
#   rawscanbench.files.tsv   every copy of a sample file on it, found by
#                            reading the finished image back: start sector,
#                            size, sha256, sample id, type, expect,
#                            carved_size, where (fat32, ntfs or raw)
#   rawscanbench.layout.tsv  what lies where: the partitions and, in the
#                            unpartitioned space, every run of random data,
#                            text, zeros and each sample
#
# Layout (SIZE=2G, FAT_MIB=512, NTFS_MIB=512):
#
#   sector 0            MBR (sfdisk), two primary partitions
#   2048                FAT32 (type 0C), 4 KiB clusters, mkfs.fat + mtools
#   2048 + FAT          NTFS (type 07), 4 KiB clusters, mkntfs + ntfs-3g mount
#   behind NTFS         unpartitioned, to the end of the disk: runs of
#                       pseudo-random data, text and zeros (45/30/25 by
#                       count; lengths log-uniform, scaled to fill the
#                       space) with one sample behind each run, the
#                       sample padded with 8 to 32 zero sectors
#
# Each file system holds NFILES generated files (default 4,000 per volume, in
# 40 folders; text, CSV, log and random .bin files of 100 B to 512 KiB,
# log-uniform, about 250 MiB per volume) and, in a folder Media written
# first, FS_ROUNDS copies (default 2) of each of the 29 samples. The unpartitioned space holds
# RAW_ROUNDS copies (default 8) of each, in a shuffled order. With the
# defaults that is 348 sample copies, 288 of which the carving rules accept.
#
# The samples are cut out of tests/fixtures/carve/carve-disk.img.gz by its
# manifest (start_sector, size); that fixture's README says what each one is
# and how its carved size follows from the carving rules (carved_size). The
# same rules hold here, as every sample is followed by zeros (the cluster's
# slack inside a file system, the padding outside).
#
# Random bytes are an AES-128-CTR keystream (openssl, key from a fixed tag);
# all choices come from seeded generators, the file systems are written with
# the clock frozen (libfaketime), mtools one call per folder in sorted order,
# ntfs-3g by one python process in sorted order. Needs root (FUSE) and
# about 1.4 GiB of disk for the image plus 0.8 GiB for a moment while it is
# built. Knobs (environment): SIZE, FAT_MIB, NTFS_MIB, NFILES, FS_ROUNDS,
# RAW_ROUNDS, FAT_SPC (sectors per FAT32 cluster, default 8; FAT32 needs
# 65,525 clusters, so a FAT_MIB under 260 wants 1).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUTDIR=${1:-/tmp}
SIZE=${SIZE:-2G}
FAT_MIB=${FAT_MIB:-512}
FAT_SPC=${FAT_SPC:-8}
NTFS_MIB=${NTFS_MIB:-512}
NFILES=${NFILES:-4000}
FS_ROUNDS=${FS_ROUNDS:-2}
RAW_ROUNDS=${RAW_ROUNDS:-8}
FIXTURE="$ROOT/tests/fixtures/carve/carve-disk"

# shellcheck source=tools/image_lib.sh
source "$ROOT/tools/image_lib.sh"

OUTDIR=$(realpath -m "$OUTDIR")
case "$OUTDIR/" in "$ROOT"/*) die "$OUTDIR is inside the repository; build the image elsewhere (default /tmp)" ;; esac
mkdir -p "$OUTDIR"
OUT="$OUTDIR/rawscanbench.img"
FILES="$OUTDIR/rawscanbench.files.tsv"
LAYOUT="$OUTDIR/rawscanbench.layout.tsv"

REQUIRED=(mkfs.fat dosfstools  fsck.fat dosfstools  mcopy mtools  mmd mtools
          mkntfs ntfs-3g  ntfs-3g ntfs-3g  ntfsinfo ntfs-3g  fusermount fuse3
          sfdisk fdisk  openssl openssl  fls sleuthkit  gzip gzip  python3 python3)
install_missing "${REQUIRED[@]}"
need_root "FUSE mount"
need_fuse
[[ -r $FIXTURE.img.gz && -r $FIXTURE.files.tsv ]] || die "cannot read $FIXTURE.img.gz and .files.tsv"

make_workdir rawscanbench
START=$(date +%s.%N)

disk_sectors=$(numfmt --from=iec "$SIZE")
disk_sectors=$((disk_sectors / 512))
FAT_START=2048
FAT_SECTORS=$((FAT_MIB * 2048))
NTFS_START=$((FAT_START + FAT_SECTORS))
NTFS_SECTORS=$((NTFS_MIB * 2048))
RAW_START=$((NTFS_START + NTFS_SECTORS))
((RAW_START + 65536 <= disk_sectors)) || die "SIZE=$SIZE leaves under 32 MiB behind the partitions"

# ---------------------------------------------------------------- generators
cat >gen.py <<'PY'
# Contents for make_rawscan_bench_image.sh: samples, file trees, the
# unpartitioned space, and the search for the samples on the finished disk.
import hashlib, math, os, random, subprocess, sys

SECTOR = 512
MiB = 1 << 20
EXT = {"jpeg": "jpg", "pdf": "pdf", "zip": "zip", "docx": "docx", "xlsx": "xlsx", "pptx": "pptx",
       "rar": "rar", "ole2": "doc", "mp3": "mp3", "mpeg": "mpg", "avi": "avi", "mp4": "mp4"}

def samples():
    """The fixture's samples as cut out by the shell step: dicts with id, type,
    expect, carved_size, data, sha, ext; in manifest order."""
    out = []
    with open("samples.tsv", encoding="utf-8") as f:
        head = f.readline().rstrip("\n").split("\t")
        for line in f:
            r = dict(zip(head, line.rstrip("\n").split("\t")))
            sid = r["note"].split(":")[0]
            data = open(f"samples/{sid}", "rb").read()
            assert hashlib.sha256(data).hexdigest() == r["sha256"], sid
            out.append(dict(id=sid, type=r["type"], expect=r["expect"], carved_size=int(r["carved_size"]),
                            data=data, sha=r["sha256"], ext=EXT[r["type"]]))
    return out

class Noise:
    """Pseudo-random bytes: the AES-128-CTR keystream of a key derived from a tag."""
    def __init__(self, tag):
        key = hashlib.sha256(tag.encode()).hexdigest()[:32]
        self.p = subprocess.Popen(["openssl", "enc", "-aes-128-ctr", "-nosalt", "-K", key, "-iv", "0" * 32,
                                   "-in", "/dev/zero"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    def read(self, n):
        b = self.p.stdout.read(n)
        assert len(b) == n
        return b
    def close(self):
        self.p.kill()
        self.p.wait()

WORDS = ("the of and to in is was for on that with as by at from this be are an which or have it not "
         "had were but all their has been one its more also other can there new first time after two "
         "disk sector volume file folder record cluster table entry image recovery scan report data "
         "January February March April May June July August September October November December "
         "north south river city station market council project budget invoice customer order "
         "shipment warehouse quarterly figures meeting minutes agenda summary draft letter").split()

def _corpus():
    rng = random.Random("rawscan bench text corpus")
    out, n = [], 0
    while n < MiB:
        words = [rng.choice(WORDS) for _ in range(rng.randint(5, 16))]
        line = " ".join(words).capitalize() + (".\r\n" if rng.random() < 0.5 else ".\n")
        out.append(line)
        n += len(line)
    return "".join(out).encode()
CORPUS = _corpus()

def text(tag, n):
    """n bytes of text: 4 KiB pieces of the corpus, each headed by the tag and its number."""
    out, k = [], 0
    total = 0
    while total < n:
        head = f"{tag} #{k:07d} ".encode()
        off = (k * 104729 * 8) % (len(CORPUS) - 4096)
        piece = head + CORPUS[off:off + 4096 - len(head)]
        out.append(piece)
        total += len(piece)
        k += 1
    return b"".join(out)[:n]

def csv(tag, n):
    out, i, total = [], 0, 0
    head = "id,date,account,amount,quantity,description\n"
    out.append(head); total += len(head)
    while total < n:
        row = f"{i},2023-{i % 12 + 1:02d}-{i % 28 + 1:02d},{tag}-{(i * 7919) % 100000:05d},{(i * 104729) % 1000000 / 100:.2f},{i % 97},{WORDS[i % len(WORDS)]} {WORDS[(i * 31) % len(WORDS)]}\n"
        out.append(row); total += len(row); i += 1
    return "".join(out).encode()[:n]

def tree(fs, nfiles, rounds, smp):
    """(path, bytes) in creation order: Media/ with `rounds` copies of each
    sample (first, so that they lie in one piece), then 40 folders of
    generated files."""
    for r in range(rounds):
        for s in smp:
            yield f"Media/{s['id']}-{r + 1}.{s['ext']}", s["data"]
    rng = random.Random(f"rawscan bench {fs} tree")
    noise = Noise(f"rawscan bench {fs} files")
    per_dir = max(1, math.ceil(nfiles / 40))
    kinds = (("txt", text), ("csv", csv), ("bin", None), ("log", text))
    for i in range(nfiles):
        size = int(100 * 5242.88 ** rng.random())
        ext, make = kinds[i % 4]
        path = f"dir-{i // per_dir:02d}/{fs}-{i:05d}.{ext}"
        yield path, (noise.read(size) if make is None else make(f"{fs} {i}", size))
    noise.close()

def write_tree(root, fs, nfiles, rounds):
    n = total = 0
    for path, data in tree(fs, nfiles, rounds, samples()):
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        n += 1
        total += len(data)
    print(f"== {fs}: {n} files, {total / MiB:.1f} MiB", file=sys.stderr)

def raw(img, first, end, rounds, layout):
    """Fills sectors [first, end) of img: runs of random data, text or zeros,
    each followed by one sample and its zero padding. Appends layout rows."""
    rng = random.Random("rawscan bench unpartitioned space")
    smp = samples()
    order = []
    for _ in range(rounds):
        s = smp[:]
        rng.shuffle(s)
        order += s
    pads = [rng.randint(8, 32) for _ in order]
    used = sum((len(s["data"]) + SECTOR - 1) // SECTOR + p for s, p in zip(order, pads))
    free = end - first - used
    assert free > 0, "too many samples for the space"
    weights = [2 ** rng.uniform(0, 6) for _ in range(len(order) + 1)]
    lengths = [int(free * w / sum(weights)) for w in weights]
    lengths[-1] += free - sum(lengths)
    kinds = [rng.choices(("random", "text", "zeros"), (45, 30, 25))[0] for _ in lengths]
    noise = Noise("rawscan bench unpartitioned random")
    pos = first
    with open(img, "r+b") as f:
        for i, (length, kind) in enumerate(zip(lengths, kinds)):
            layout.append((pos, length, kind))
            if kind != "zeros":
                f.seek(pos * SECTOR)
                for off in range(0, length, 16384):   # 8 MiB at a time
                    n = min(16384, length - off) * SECTOR
                    f.write(noise.read(n) if kind == "random" else text(f"raw {pos + off}", n))
            pos += length
            if i == len(order):
                break
            s = order[i]
            sectors = (len(s["data"]) + SECTOR - 1) // SECTOR
            f.seek(pos * SECTOR)
            f.write(s["data"])
            layout.append((pos, sectors, f"sample {s['id']}"))
            pos += sectors
            layout.append((pos, pads[i], "zeros"))
            pos += pads[i]
    noise.close()
    assert pos == end, (pos, end)

def locate(img, regions):
    """Every copy of a sample on the disk, by its first 64 bytes at a sector
    start and then its whole content: (sector, sample) pairs."""
    smp = samples()
    keys = {}   # some samples begin alike (two OLE2 headers, two MPEG pack + system headers)
    for s in smp:
        keys.setdefault(s["data"][:64], []).append(s)
    hits = []
    chunk = 64 * MiB
    with open(img, "rb") as f:
        base = 0
        while True:
            buf = f.read(chunk)
            if not buf:
                break
            for i in range(0, len(buf), SECTOR):
                alike = keys.get(buf[i:i + 64])
                if alike is not None:
                    hits.append(((base + i) // SECTOR, alike))
            base += len(buf)
        found = []
        for sector, alike in hits:
            f.seek(sector * SECTOR)
            data = f.read(max(len(s["data"]) for s in alike))
            match = [s for s in alike if data[:len(s["data"])] == s["data"]]
            if match:
                found.append((sector, match[0]))
            else:
                print(f"== sector {sector}: starts like {alike[0]['id']} but the rest differs (fragmented?)", file=sys.stderr)
    def where(sector):
        for name, a, b in regions:
            if a <= sector < b:
                return name
        return "?"
    return [(sector, s, where(sector)) for sector, s in found]

if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "tree":
        write_tree(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    elif cmd == "raw":
        img, first, end, rounds, fat, ntfs, out_layout = sys.argv[2:9]
        layout = []
        raw(img, int(first), int(end), int(rounds), layout)
        fa, fn = map(int, fat.split(":"))
        na, nn = map(int, ntfs.split(":"))
        with open(out_layout, "w") as f:
            f.write("first_sector\tsectors\twhat\n")
            f.write(f"0\t1\tMBR\n{fa}\t{fn}\tFAT32 partition\n{na}\t{nn}\tNTFS partition\n")
            for a, n, what in layout:
                f.write(f"{a}\t{n}\t{what}\n")
        counts = {}
        for _, n, what in layout:
            k = "samples" if what.startswith("sample") else what
            counts[k] = counts.get(k, 0) + n
        print("== unpartitioned space: " + ", ".join(f"{k} {v * SECTOR / MiB:.0f} MiB" for k, v in sorted(counts.items())),
              file=sys.stderr)
    elif cmd == "locate":
        img, fat, ntfs, first_raw, out, expect = sys.argv[2:8]
        fa, fn = map(int, fat.split(":"))
        na, nn = map(int, ntfs.split(":"))
        regions = [("fat32", fa, fa + fn), ("ntfs", na, na + nn), ("raw", int(first_raw), 1 << 62)]
        found = locate(img, regions)
        with open(out, "w") as f:
            f.write("start_sector\tsize\tsha256\tsample\ttype\texpect\tcarved_size\twhere\n")
            for sector, s, w in found:
                f.write(f"{sector}\t{len(s['data'])}\t{s['sha']}\t{s['id']}\t{s['type']}\t{s['expect']}\t{s['carved_size']}\t{w}\n")
        by = {}
        for _, _, w in found:
            by[w] = by.get(w, 0) + 1
        want = dict(x.split("=") for x in expect.split(","))
        print("== samples found on the disk: " + ", ".join(f"{w} {by.get(w, 0)} (placed {n})" for w, n in want.items()),
              file=sys.stderr)
        if any(by.get(w, 0) != int(n) for w, n in want.items()):
            sys.exit("the samples found on the disk are not the ones placed")
PY

# ---------------------------------------------------------------- samples
log "cutting the samples out of $(basename "$FIXTURE").img.gz"
gzip -dc "$FIXTURE.img.gz" >carve-disk.img
cp "$FIXTURE.files.tsv" samples.tsv
mkdir -p samples
tail -n +2 samples.tsv | while IFS=$'\t' read -r start size _ _ _ _ _ note; do
  dd if=carve-disk.img of="samples/${note%%:*}" bs=512 skip="$start" count=$(((size + 511) / 512)) status=none
  truncate -s "$size" "samples/${note%%:*}"
done
nsamples=$(($(wc -l <samples.tsv) - 1))
rm carve-disk.img

# ---------------------------------------------------------------- FAT32
log "FAT32: $FAT_MIB MiB, $NFILES files + $FS_ROUNDS x $nsamples samples"
FAT_T0=$(date +%s.%N)
python3 gen.py tree tree-fat fat "$NFILES" "$FS_ROUNDS"
truncate -s "${FAT_MIB}M" fat.img
at "2024-03-01 09:00:00" mkfs.fat -F 32 -s "$FAT_SPC" -S 512 -h "$FAT_START" -i 52415746 -n RAWSCANFAT fat.img >/dev/null
mapfile -t dirs < <(cd tree-fat && find . -mindepth 1 -type d -printf '%P\n' | LC_ALL=C sort)
at "2024-03-01 09:05:00" mmd -i fat.img "${dirs[@]/#/::}"
for d in "${dirs[@]}"; do
  mapfile -t files < <(find "tree-fat/$d" -maxdepth 1 -type f | LC_ALL=C sort)
  at "2024-03-01 09:10:00" mcopy -i fat.img "${files[@]}" "::$d/"
done
rm -rf tree-fat
fsck_out=$(fsck.fat -n fat.img 2>&1) || die "fsck.fat: $fsck_out"
log "FAT32 done after $(stamp "$FAT_T0") s; fsck.fat: $(tail -n1 <<<"$fsck_out")"

# ---------------------------------------------------------------- NTFS
log "NTFS: $NTFS_MIB MiB, $NFILES files + $FS_ROUNDS x $nsamples samples through an ntfs-3g mount"
NTFS_T0=$(date +%s.%N)
truncate -s "${NTFS_MIB}M" ntfs.img
at "2024-03-01 09:00:00" mkntfs -Q -F -q -p "$NTFS_START" -H 255 -S 63 -s 512 -c 4096 -L RAWSCANNTFS ntfs.img >/dev/null 2>&1
ntfs3g_mount ntfs.img "$MNT" "2024-03-01 09:10:00" no_detach,noatime,big_writes "$WORK/ntfs-3g.log"
python3 gen.py tree "$MNT" ntfs "$NFILES" "$FS_ROUNDS"
ntfs3g_umount "$MNT"
ntfsinfo -m ntfs.img >/dev/null 2>&1 || die "ntfsinfo -m refuses the NTFS volume"
log "NTFS done after $(stamp "$NTFS_T0") s"

# ---------------------------------------------------------------- the disk
log "disk: $SIZE, partitions at $FAT_START and $NTFS_START, unpartitioned from $RAW_START"
rm -f "$OUT" "$FILES" "$LAYOUT"
truncate -s "$SIZE" "$OUT"
sfdisk -q --no-reread --no-tell-kernel "$OUT" >/dev/null <<EOF
label: dos
label-id: 0x52415753
start=$FAT_START, size=$FAT_SECTORS, type=c
start=$NTFS_START, size=$NTFS_SECTORS, type=7
EOF
dd if=fat.img of="$OUT" bs=1M seek=$((FAT_START * 512)) oflag=seek_bytes conv=notrunc,sparse status=none
dd if=ntfs.img of="$OUT" bs=1M seek=$((NTFS_START * 512)) oflag=seek_bytes conv=notrunc,sparse status=none
rm fat.img ntfs.img
python3 gen.py raw "$OUT" "$RAW_START" "$disk_sectors" "$RAW_ROUNDS" \
  "$FAT_START:$FAT_SECTORS" "$NTFS_START:$NTFS_SECTORS" "$LAYOUT"
BUILD_S=$(stamp)

# ---------------------------------------------------------------- checks
python3 gen.py locate "$OUT" "$FAT_START:$FAT_SECTORS" "$NTFS_START:$NTFS_SECTORS" "$RAW_START" "$FILES" \
  "fat32=$((FS_ROUNDS * nsamples)),ntfs=$((FS_ROUNDS * nsamples)),raw=$((RAW_ROUNDS * nsamples))"
fat_files=$(fls -r -p -o "$FAT_START" "$OUT" | grep -c '^r/r [0-9]' || true)
ntfs_files=$(fls -r -p -o "$NTFS_START" "$OUT" | grep -c '^r/r [0-9]*-128-[0-9]*:	[^$]' || true)
want=$((NFILES + FS_ROUNDS * nsamples))
((ntfs_files == want)) || die "fls -r lists $ntfs_files files on the NTFS volume, $want were written"
# the FAT32 count includes the volume label entry
((fat_files == want + 1)) || die "fls -r lists $fat_files entries on the FAT32 volume, $want files were written (+ the label)"
log "fls -r: $want files on each volume; $(($(wc -l <"$FILES") - 1)) sample copies in $(basename "$FILES"), $(awk -F'\t' 'NR > 1 && $6 == "carved"' "$FILES" | wc -l) of them to be carved"
log "built $OUT ($SIZE, $(du -m "$OUT" | cut -f1) MiB on disk), $FILES and $LAYOUT in $BUILD_S s, $(stamp) s with the checks"
