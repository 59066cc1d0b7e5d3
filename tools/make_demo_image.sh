#!/usr/bin/env bash
# Builds demo/demo.img.gz: a 64 MiB MBR disk with a FAT32 and an NTFS partition holding live and deleted files, plus demo/README.md.
#
# Everything is made with the real tools: sfdisk, mkfs.fat + mtools, mkntfs +
# ntfs-3g (FUSE). Clocks are frozen with libfaketime and the serials fixed, so
# re-running gives the same image. Run as root (package installs, FUSE).
# KEEP_WORK=1 keeps the scratch directory for debugging.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT_DIR="$ROOT/demo"

# shellcheck source=tools/image_lib.sh
source "$ROOT/tools/image_lib.sh"
export SOURCE_DATE_EPOCH=1709283600   # 2024-03-01 09:00:00 UTC

DISK_ID=0x4f52564c              # "LVRO" little-endian; shown by fdisk as 0x4f52564c
DISK_SECTORS=131072             # 64 MiB
P1_START=2048  P1_SECTORS=81920 # 40 MiB FAT32 (type 0x0C)
P2_START=83968 P2_SECTORS=40960 # 20 MiB NTFS  (type 0x07)
FAT_LABEL=DEMO_FAT32
FAT_SERIAL=12345678
NTFS_LABEL=DEMO_NTFS

# ---------------------------------------------------------------- packages
# pairs of "command package"
REQUIRED=(
  sfdisk fdisk
  mkfs.fat dosfstools  fsck.fat dosfstools
  mcopy mtools         mdeltree mtools
  mkntfs ntfs-3g       ntfs-3g ntfs-3g  ntfscat ntfs-3g  ntfsinfo ntfs-3g
  fusermount fuse3
  mmls sleuthkit       fls sleuthkit    icat sleuthkit   fsstat sleuthkit
  blkid util-linux
  python3 python3
  gzip gzip
)
install_missing "${REQUIRED[@]}"
need_root "FUSE mount of the NTFS partition"

make_workdir demo

# ---------------------------------------------------------------- payload
# Every file's bytes come from this generator (and imagelib.py's seeded
# contents), so the sha256 values in the README hold for any re-run.
cat >gen.py <<'PY'
import struct, zlib
from imagelib import stream, text, zh as zh_, jpeg as jpeg_, write_payload

def zh(tag, size):
    return zh_(tag, size, "本年度工作总结与下一年度计划，数据恢复演示。")

def jpeg(tag, size):
    return jpeg_(tag, size, "Orvaldi demo")

def pdf(tag, lines):
    body = ["BT /F1 10 Tf 40 800 Td 12 TL"]
    for i in range(lines):
        body.append(f"({tag} paragraph {i:04d}: quarterly figures and notes) '")
    body.append("ET")
    stream_ = "\n".join(body).encode()
    objs = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R "
        b"/Resources << /Font << /F1 5 0 R >> >> >>",
        b"<< /Length %d >>\nstream\n" % len(stream_) + stream_ + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    ]
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offs = []
    for i, o in enumerate(objs, 1):
        offs.append(len(out))
        out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    for o in offs:
        out += b"%010d 00000 n \n" % o
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
    return bytes(out)

def png(w, h):
    raw = bytearray()
    for y in range(h):
        raw.append(0)
        for x in range(w):
            raw += bytes(((x * 3 + y * 7) & 0xFF, (x ^ y) & 0xFF, (y * 5 + x) & 0xFF))
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)
    # stored (level 0) deflate blocks: the bytes do not depend on the zlib build
    comp = zlib.compress(bytes(raw), 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"tEXt", b"Comment\x00Orvaldi demo") + chunk(b"IDAT", comp) + chunk(b"IEND", b""))

def bmp(w, h):
    # a banded "landscape" (sky, hills, grass) whose rows start with their row
    # number, so it stays small in the .gz yet no two rows are the same
    row = (w * 3 + 3) & ~3
    pix = bytearray()
    for y in range(h):
        band = y * 8 // h
        r = bytearray()
        for x in range(w):
            hill = (x // 25 + band) % 3
            r += bytes((40 + band * 25, 90 + hill * 30, 200 - band * 20))
        r[0:8] = struct.pack("<I", y) + b"ROW!"
        pix += r + b"\x00" * (row - w * 3)
    hdr = b"BM" + struct.pack("<IHHI", 54 + len(pix), 0, 0, 54)
    dib = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pix), 2835, 2835, 0, 0)
    return hdr + dib + bytes(pix)

def wav(seconds):
    rate = 8000
    n = rate * seconds
    samples = bytearray()
    for i in range(n):
        if i % 256 == 0:
            v = i // 256          # a running block counter every 512 bytes
        else:
            p = i % 80
            v = (p * 800 - 16000) if p < 40 else (48000 - p * 800)
        samples += struct.pack("<h", v)
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", len(samples)) + samples
    return b"RIFF" + struct.pack("<I", len(body)) + body

def mp3(tag, size):
    def frame(t, d):
        return t + struct.pack(">I", len(d)) + b"\x00\x00" + d
    tags = frame(b"TIT2", b"\x00" + tag.encode()) + frame(b"TPE1", b"\x00Orvaldi")
    out = bytearray(b"ID3\x03\x00\x00")
    n = len(tags)
    out += bytes(((n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F)) + tags
    k = 0
    while len(out) < size:
        # MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 417-byte frames
        payload = (b"frame %06d " % k) * 40
        out += b"\xff\xfb\x90\x64" + payload[:413]
        k += 1
    return bytes(out[:size])

def csrc(i, size):
    s = (f"/* module_{i:02d}.c - demo project source */\n#include <stdio.h>\n\n"
         f"int module_{i:02d}(int x)\n{{\n    return x * {i} + {i * i};\n}}\n")
    n = 0
    while len(s.encode()) < size:
        s += f"/* note {n:02d} for module {i:02d} */\n"; n += 1
    return s.encode()[:size]

files = {}
F = "fat/"
files[F + "README.TXT"] = text("README", 600)
files[F + "TINY.TXT"] = b"hello"
files[F + "EMPTY.DAT"] = b""
files[F + "OLD.TXT"] = text("OLD", 2048)
files[F + "a very long file name with spaces.txt"] = text("longname", 5000)
files[F + "文档/年度报告 2024 最终版.txt"] = zh("年度报告", 48 * 1024)
files[F + "文档/会议纪要.txt"] = zh("会议纪要", 1800)
files[F + "文档/report.pdf"] = pdf("report", 300)
files[F + "文档/草稿.txt"] = text("draft", 12 * 1024)
files[F + "照片/2024/IMG_0001.JPG"] = jpeg("IMG_0001", 64 * 1024)
files[F + "照片/2024/IMG_0002.JPG"] = jpeg("IMG_0002", 48 * 1024)
files[F + "照片/2024/春节.png"] = png(96, 96)
files[F + "音乐/录音 2024-03-01.wav"] = wav(13)
files[F + "音乐/song01.mp3"] = mp3("song01", 300 * 1024)
files[F + "临时/notes.txt"] = text("tempnotes", 3000)
files[F + "临时/旧照片/IMG_0100.JPG"] = jpeg("IMG_0100", 40 * 1024)
files[F + "临时/旧照片/DSC 0001.jpg"] = jpeg("DSC_0001", 20 * 1024)

N = "ntfs/"
for i in range(1, 41):
    files[N + f"项目/代码/module_{i:02d}.c"] = csrc(i, 150 + (i * 37) % 400)
for i in range(1, 11):
    files[N + f"项目/代码/说明_{i:02d}.txt"] = zh(f"说明{i:02d}", 150 + i * 40)
files[N + "项目/代码/build.log"] = text("build", 100 * 1024)
files[N + "项目/数据.csv"] = "".join(
    f"{r},2024-03-{(r % 28) + 1:02d},客户{r % 97:02d},{(r * 7919) % 100000 / 100:.2f}\r\n" for r in range(5000)
).encode()
files[N + "图片/风景.bmp"] = bmp(400, 400)
files[N + "图片/头像.jpg"] = jpeg("avatar", 100 * 1024)
files[N + "临时文件/笔记.txt"] = zh("笔记", 2000)
files[N + "临时文件/子目录/a.txt"] = text("tmp-a", 300)
files[N + "临时文件/子目录/b.bin"] = stream("tmp-b", 16 * 1024)

write_payload(files)
PY
python3 gen.py
# the sparse NTFS file, made the same way locally for its checksum
printf 'SPARSE-1MiB-%04d\n' $(seq 1 256) >sparse1.bin   # 4 KiB
printf 'SPARSE-3MiB-%04d\n' $(seq 1 64) >sparse3.bin    # 1 KiB
truncate -s 4M payload/ntfs/sparse.ref
dd if=sparse1.bin of=payload/ntfs/sparse.ref bs=1M seek=1 conv=notrunc status=none
dd if=sparse3.bin of=payload/ntfs/sparse.ref bs=1M seek=3 conv=notrunc status=none

: >events.tsv   # part <TAB> path <TAB> state <TAB> note
event() { printf '%s\t%s\t%s\t%s\n' "$@" >>events.tsv; }

# ================================================================ FAT32 partition
log "FAT32 partition"
truncate -s $((P1_SECTORS * 512)) p1.img
at "2024-03-01 09:00:00" mkfs.fat -F 32 -s 1 -i "$FAT_SERIAL" --codepage=936 -h "$P1_START" -g 255/63 \
  -n "$FAT_LABEL" p1.img >/dev/null
fat() { local when=$1; shift; at "$when" "$@" -i p1.img; }
put() { # put WHEN PATH [NOTE]
  at "$1" mcopy -i p1.img "payload/fat/$2" "::$2"
  event fat "$2" live "${3:-}"
}
fat "2024-03-01 09:05:00" mmd ::文档 ::照片 ::照片/2024 ::音乐 ::临时 ::临时/旧照片
put "2024-03-01 09:10:00" README.TXT "8.3 name only"
put "2024-03-01 09:10:00" TINY.TXT
put "2024-03-01 09:10:00" EMPTY.DAT "zero length, no cluster"
put "2024-03-01 09:10:00" OLD.TXT
put "2024-03-01 09:20:00" "a very long file name with spaces.txt" "LFN"
put "2024-03-01 09:30:00" "文档/年度报告 2024 最终版.txt" "LFN, Chinese"
put "2024-03-01 09:30:00" "文档/会议纪要.txt"
put "2024-03-01 09:30:00" "文档/report.pdf"
# Fragmentation: A, then B right behind it, delete A, then C is larger than
# A's hole, so it fills the hole and carries on after B.
put "2024-03-01 10:00:00" "文档/草稿.txt"
put "2024-03-01 10:05:00" "照片/2024/IMG_0001.JPG"
at "2024-03-01 10:10:00" mdel -i p1.img "::文档/草稿.txt"
# Forget the FSInfo next-free hint (0xFFFFFFFF = unknown) so the next write
# scans from the lowest free cluster, as a driver does when the hint is unset.
printf '\xff\xff\xff\xff' | dd of=p1.img bs=1 seek=$((512 + 0x1EC)) conv=notrunc status=none
put "2024-03-01 10:15:00" "音乐/录音 2024-03-01.wav" "fragmented: fills the hole left by 文档/草稿.txt, continues after IMG_0001.JPG"
put "2024-03-01 10:30:00" "照片/2024/春节.png"
put "2024-03-01 10:30:00" "照片/2024/IMG_0002.JPG"
put "2024-03-01 10:40:00" "音乐/song01.mp3"
put "2024-03-01 10:50:00" "临时/notes.txt"
put "2024-03-01 10:50:00" "临时/旧照片/IMG_0100.JPG"
put "2024-03-01 10:50:00" "临时/旧照片/DSC 0001.jpg"
# deletions, months later
at "2024-06-15 14:30:00" mdel -i p1.img "::文档/会议纪要.txt" "::照片/2024/IMG_0002.JPG" ::OLD.TXT
at "2024-06-15 14:31:00" mdeltree -i p1.img ::临时
event fat "文档/草稿.txt" deleted "mdel; its clusters were then reused by 音乐/录音 2024-03-01.wav (overwritten)"
event fat "文档/会议纪要.txt" deleted "mdel"
event fat "照片/2024/IMG_0002.JPG" deleted "mdel"
event fat "OLD.TXT" deleted "mdel"
event fat "临时/notes.txt" deleted "mdeltree 临时"
event fat "临时/旧照片/IMG_0100.JPG" deleted "mdeltree 临时"
event fat "临时/旧照片/DSC 0001.jpg" deleted "mdeltree 临时"
fsck.fat -n p1.img >fsck_fat.txt 2>&1 || die "fsck.fat: $(cat fsck_fat.txt)"

# ================================================================ NTFS partition
log "NTFS partition"
truncate -s $((P2_SECTORS * 512)) p2.img
at "2024-03-05 09:00:00" mkntfs -Q -F -q -p "$P2_START" -H 255 -S 63 -L "$NTFS_LABEL" -s 512 -c 4096 p2.img >/dev/null 2>&1

ntfs_mount() { ntfs3g_mount p2.img "$MNT" "$1" no_detach,noatime; }   # ntfs_mount WHEN
ntfs_umount() { ntfs3g_umount "$MNT"; }

ntfs_mount "2024-03-05 10:00:00"
mkdir -p "$MNT/项目/代码" "$MNT/图片" "$MNT/临时文件/子目录"
while IFS= read -r -d '' f; do
  rel=${f#payload/ntfs/}
  [[ $rel == sparse.ref ]] && continue
  cp "$f" "$MNT/$rel"
  event ntfs "$rel" live ""
done < <(find payload/ntfs -type f -print0 | sort -z)
# sparse file: 4 MiB long, data only at 1 MiB and 3 MiB
truncate -s 4M "$MNT/项目/sparse.bin"
# (from files, in one write each: a pipe would split the writes unpredictably)
dd if=sparse1.bin of="$MNT/项目/sparse.bin" bs=1M seek=1 conv=notrunc status=none
dd if=sparse3.bin of="$MNT/项目/sparse.bin" bs=1M seek=3 conv=notrunc status=none
cp payload/ntfs/sparse.ref "payload/ntfs/项目/sparse.bin.ref"
event ntfs "项目/sparse.bin" live "sparse: 4 MiB, data at 1 MiB (4 KiB) and 3 MiB (1 KiB), the rest holes"
ntfs_umount

ntfs_mount "2024-06-15 14:35:00"
rm "$MNT/项目/代码/module_07.c" "$MNT/项目/代码/说明_03.txt" "$MNT/图片/头像.jpg"
rm -r "$MNT/临时文件"
ntfs_umount
event ntfs "项目/代码/module_07.c" deleted "rm"
event ntfs "项目/代码/说明_03.txt" deleted "rm"
event ntfs "图片/头像.jpg" deleted "rm"
event ntfs "临时文件/笔记.txt" deleted "rm -r 临时文件"
event ntfs "临时文件/子目录/a.txt" deleted "rm -r 临时文件"
event ntfs "临时文件/子目录/b.bin" deleted "rm -r 临时文件"

# ================================================================ disk
log "disk"
truncate -s $((DISK_SECTORS * 512)) demo.img
sfdisk --no-reread --no-tell-kernel -q demo.img <<EOF
label: dos
label-id: $DISK_ID
unit: sectors

start=$P1_START, size=$P1_SECTORS, type=c
start=$P2_START, size=$P2_SECTORS, type=7
EOF
dd if=p1.img of=demo.img bs=512 seek="$P1_START" conv=notrunc status=none
dd if=p2.img of=demo.img bs=512 seek="$P2_START" conv=notrunc status=none

# ================================================================ checks + README
log "checks"
mmls demo.img >mmls.txt
fsstat -o "$P1_START" demo.img >fsstat1.txt
fsstat -o "$P2_START" demo.img >fsstat2.txt
fls -r -p -o "$P1_START" demo.img >fls1.txt
fls -r -p -o "$P2_START" demo.img >fls2.txt
blkid -p -O $((P1_START * 512)) demo.img >blkid1.txt 2>&1 || true
blkid -p -O $((P2_START * 512)) demo.img >blkid2.txt 2>&1 || true
sfdisk -d demo.img >sfdisk.txt
ntfsinfo -F "项目/sparse.bin" p2.img >sparse_info.txt 2>&1 || true

mkdir -p "$OUT_DIR"
export P1_START P1_SECTORS P2_START P2_SECTORS DISK_ID DISK_SECTORS FAT_LABEL NTFS_LABEL
python3 - "$OUT_DIR/README.md.tmp" <<'PY'
import os, re, sys
from imagelib import sha, run, read

P1, P2 = int(os.environ["P1_START"]), int(os.environ["P2_START"])

events = [l.rstrip("\n").split("\t") for l in open("events.tsv", encoding="utf-8")]
state = {}
for part, path, st, note in events:
    if st == "live":
        state[(part, path)] = ["live", note]
    else:
        state[(part, path)] = ["deleted", note]

def fls_map(fn):
    m = {}
    for line in read(fn).splitlines():
        mm = re.match(r"^(\S+)\s+(\*\s+)?([0-9-]+)(\(realloc\))?:\t(.*)$", line)
        if mm:
            m.setdefault((mm.group(5), bool(mm.group(2))), mm.group(3))
    return m
fls = {"fat": fls_map("fls1.txt"), "ntfs": fls_map("fls2.txt")}
off = {"fat": P1, "ntfs": P2}

def join(a, b): return "; ".join(x for x in (a, b) if x)

def residency(part, inode):
    """'resident' / 'non-resident' for an NTFS file's unnamed $DATA, from istat."""
    if part != "ntfs":
        return ""
    for l in run("istat", "-o", str(P2), "demo.img", inode).decode().splitlines():
        if l.startswith("Type: $DATA") and "Name: N/A" in l:
            return "non-resident" if "Non-Resident" in l else "resident"
    return ""

problems = []
live_rows, del_rows = [], []
for (part, path), (st, note) in state.items():
    src = os.path.join("payload", part, path)
    data = open(src + ".ref" if path.endswith("sparse.bin") else src, "rb").read()
    h = sha(data)
    if st == "live":
        if part == "fat":
            got = run("mcopy", "-n", "-i", "p1.img", "::" + path, "-")
        else:
            got = run("ntfscat", "p2.img", path)
        if sha(got) != h:
            problems.append(f"{part}:{path} read back differs")
        if (path, False) not in fls[part]:
            problems.append(f"{part}:{path} not listed by fls")
        note = join(residency(part, fls[part][(path, False)]), note)
        live_rows.append((part, path, len(data), h, note))
    else:
        # a deleted 8.3-only entry has lost its first byte (0xE5); TSK shows it as '_'
        d, _, b = path.rpartition("/")
        mangled = (d + "/" if d else "") + "_" + b[1:]
        listed = path if (path, True) in fls[part] else mangled
        inode = fls[part].get((listed, True))
        if inode is None:
            tsk = "name not listed by fls"
            problems.append(f"{part}:{path} deleted name not listed by fls")
        else:
            note = join(residency(part, inode), note)
            got = run("icat", "-o", str(off[part]), "demo.img", inode)
            tsk = (f"listed as `{listed}` (`{inode}`); icat " +
                   ("gives the original bytes" if sha(got) == h else
                    f"gives other bytes (sha256 {sha(got)[:16]}...)"))
        del_rows.append((part, path, len(data), h, note, tsk))

# fragment runs of the fragmented file, in sectors of the partition
def runs_of(inode):
    secs = [int(x) for x in re.findall(r"\b\d+\b", run("istat", "-o", str(P1), "demo.img", inode).decode().split("Sectors:")[1])]
    out, start, prev = [], secs[0], secs[0]
    for s in secs[1:]:
        if s != prev + 1:
            out.append((start, prev)); start = s
        prev = s
    out.append((start, prev))
    return out
frag_path = "音乐/录音 2024-03-01.wav"
frag_runs = runs_of(fls["fat"][(frag_path, False)])
if len(frag_runs) < 2:
    problems.append("the fragmented file is contiguous")

if problems:
    sys.exit("checks failed:\n  " + "\n  ".join(problems))

def first_lines(fn, keys):
    out = []
    for l in read(fn).splitlines():
        if any(l.startswith(k) for k in keys):
            out.append(l)
    return out

fls_counts = {}
for part, fn in (("fat", "fls1.txt"), ("ntfs", "fls2.txt")):
    lines = [l for l in read(fn).splitlines() if ":\t" in l]
    fls_counts[part] = (len(lines), sum(1 for l in lines if re.match(r"^\S+\s+\*", l)))

def part_label(part): return {"fat": "FAT32 (partition 1)", "ntfs": "NTFS (partition 2)"}[part]

o = []
w = o.append
w("# Demo disk image\n")
w("`demo.img.gz` (gzip -9n) is a 64 MiB raw disk built by `tools/make_demo_image.sh`")
w("from real tools: `sfdisk`, `mkfs.fat` + mtools for partition 1, `mkntfs` +")
w("`ntfs-3g` (FUSE) for partition 2. Clocks are frozen with libfaketime, so a")
w("re-run reproduces the same bytes. It holds live files, a fragmented file and")
w("deleted files and folders whose original sha256 is listed for recovery tests.\n")
w("## Partition table (MBR)\n")
w(f"Disk identifier `{os.environ['DISK_ID']}`, {int(os.environ['DISK_SECTORS'])} sectors of 512 bytes.\n")
w("| # | start sector | sectors | type | file system | label | serial |")
w("| --- | --- | --- | --- | --- | --- | --- |")
w(f"| 1 | {P1} | {os.environ['P1_SECTORS']} (40 MiB) | 0x0C (FAT32 LBA) | FAT32, 512 B clusters, hidden sectors {P1} | `{os.environ['FAT_LABEL']}` | `1234-5678` |")
ntfs_serial = [l for l in read("fsstat2.txt").splitlines() if l.startswith("Volume Serial Number")][0].split(":")[1].strip()
w(f"| 2 | {P2} | {os.environ['P2_SECTORS']} (20 MiB) | 0x07 (NTFS) | NTFS 3.1, 4 KiB clusters, hidden sectors {P2} | `{os.environ['NTFS_LABEL']}` | `{ntfs_serial}` |")
w(f"\nSectors {P2 + int(os.environ['P2_SECTORS'])}..{int(os.environ['DISK_SECTORS']) - 1} (3 MiB) at the end are unallocated zeros.")
w("The FAT label is plain ASCII because mkfs.fat 4.2 refuses any label byte >= 0x80")
w("(`--codepage=936` is still passed). Mtools stores Chinese names as LFN entries")
w("with `__`-style short names (its default codepage 850 has no CJK).\n")

w("## Live files\n")
w("| partition | path | bytes | sha256 | note |")
w("| --- | --- | --- | --- | --- |")
for part, path, n, h, note in live_rows:
    w(f"| {part} | `{path}` | {n} | `{h}` | {note} |")
w("\nFolders: FAT32 `文档/`, `照片/`, `照片/2024/`, `音乐/`; NTFS `项目/`, `项目/代码/`, `图片/`.")
w(f"\n`{frag_path}` occupies these sector runs of partition 1 (istat): " +
  ", ".join(f"{a}-{b}" for a, b in frag_runs) + ".\n")

w("## Deleted files and folders\n")
w("sha256 is of the original content. \"TSK\" says whether `fls -r -p` still lists")
w("the name and whether `icat` on that entry returns the original bytes.\n")
w("| partition | path | bytes | sha256 (original) | how | TSK |")
w("| --- | --- | --- | --- | --- | --- |")
for part, path, n, h, note, tsk in del_rows:
    w(f"| {part} | `{path}` | {n} | `{h}` | {note} | {tsk} |")
w("\nDeleted folders: FAT32 `临时/` and `临时/旧照片/` (mdeltree); NTFS `临时文件/` and `临时文件/子目录/` (rm -r).\n")

w("## Verification (The Sleuth Kit, blkid)\n")
w("`sfdisk -d demo.img`:\n")
w("```\n" + read("sfdisk.txt").strip() + "\n```\n")
w("`mmls demo.img`:\n")
w("```\n" + read("mmls.txt").strip() + "\n```\n")
w(f"`fsstat -o {P1} demo.img` (excerpt):\n")
w("```\n" + "\n".join(first_lines("fsstat1.txt", ["File System Type", "OEM Name", "Volume ID", "Volume Label (Boot", "Volume Label (Root", "File System Type Label", "Sectors before", "Sector Size", "Cluster Size", "Total Cluster Range", "Free Sector Count"])) + "\n```\n")
w(f"`fsstat -o {P2} demo.img` (excerpt):\n")
w("```\n" + "\n".join(first_lines("fsstat2.txt", ["File System Type", "Volume Serial", "OEM Name", "Volume Name", "Version", "Sector Size", "Cluster Size", "Total Cluster Range", "Total Sector Range", "MFT Entry Size"])) + "\n```\n")
for part, fn in (("fat", "fls1.txt"), ("ntfs", "fls2.txt")):
    n, d = fls_counts[part]
    deleted = [l for l in read(fn).splitlines() if re.match(r"^\S+\s+\*", l)]
    w(f"`fls -r -p -o {off[part]} demo.img`: {n} entries, {d} of them marked deleted:\n")
    w("```\n" + "\n".join(deleted) + "\n```\n")
    if part == "ntfs":
        w("`$OrphanFiles/OrphanFile-16..23` are the MFT records that mkntfs reserves and")
        w("leaves unused, not deleted user files.\n")
w("`blkid -p -O <byte offset> demo.img`:\n")
w("```\n" + read("blkid1.txt").strip() + "\n" + read("blkid2.txt").strip() + "\n```\n")
w("`fsck.fat -n` on partition 1:\n")
w("```\n" + read("fsck_fat.txt").strip() + "\n```")
open(sys.argv[1], "w", encoding="utf-8").write("\n".join(o) + "\n")
PY

gz_out demo.img "$OUT_DIR/demo.img.gz"
mv "$OUT_DIR/README.md.tmp" "$OUT_DIR/README.md"
log "wrote $OUT_DIR/demo.img.gz ($(stat -c %s "$OUT_DIR/demo.img.gz") bytes) and README.md"
