#!/usr/bin/env bash
# Takes every image of the third-party corpus through `orvaldi parts`, `ls` in
# each mode and `recover`, and compares the allocated files with The Sleuth
# Kit (fls for names and sizes, tsk_recover and icat for contents) wherever it
# reads the volume; a dynamic disk group's volumes are laid out for it from
# ldmtool's reading of the group's metadata.
#
# Usage: tools/corpus_check.sh [--cli PATH] [--corpus DIR] [--cache DIR]
#                              [--only REGEX] [--timeout SECONDS] [--quick]
#                              [--diffs FILE] [--show N] [--markdown FILE]
#                              [--strict]
#   --cli      the orvaldi binary (default: build/src/orvaldi of this tree)
#   --corpus   the corpus folder (default: ../shared/corpus beside the tree);
#              its images are read in place and unpacked into --cache
#   --cache    where the unpacked images are kept between runs
#              (default: ${TMPDIR:-/tmp}/orvaldi-corpus-cache)
#   --only     only sources whose name matches REGEX
#   --quick    leaves out the 1 GiB image and the dynamic disks one at a time
#              (their groups stay)
#   --diffs    writes every difference as a TSV line to FILE
#   --show     differences printed per partition (default 8)
#   --markdown writes the table to FILE in Markdown, one line per source
#   --strict   also fails when a file both sides list differs in size or content,
#              a deleted file of DFTT #6/#7 differs from its published MD5, or
#              search/deep miss an existing file the walk lists
#
# Exit: 0 when every command ended with a documented exit code; 1 when one
# crashed, hung (ran past --timeout), reported an internal error (4) or used
# an undocumented code (with --strict: or one of the differences above); 2 on a
# bad command line; 77 when the corpus or The Sleuth Kit is absent.
# Differences from The Sleuth Kit are listed, not failed: each is explained in
# docs/robustness.md.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export ORVALDI_ROOT="$ROOT"
exec python3 - "$@" <<'PY'
import argparse
import gzip
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.environ["ORVALDI_ROOT"]

# Exit codes a command may end with on any image (src/cli/exit_codes.h); 4 is
# an internal error and, like a signal or a timeout, fails the run.
DOCUMENTED = {0, 1, 2, 3, 5, 6}
MODES = ("walk", "search", "deep")
READ_FS = {"FAT16", "FAT32", "NTFS", "exFAT"}

# What fls lists that is no file of the volume: NTFS metadata files and
# TSK's virtual entries (orphans, the MBR, the FATs, exFAT's bitmap and
# up-case table and its volume-label entry).
TSK_SYSTEM = {
    "$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$BadClus", "$Bitmap", "$Boot", "$Extend",
    "$Secure", "$UpCase", "$OrphanFiles", "$MBR", "$FAT1", "$FAT2", "$ALLOC_BITMAP", "$UPCASE_TABLE",
    "$VOLUME_LABEL", "$EMPTY_VOLUME_LABEL", "$CarvedFiles", "$Quota", "$ObjId", "$Reparse", ".", "..",
}


def parse_args():
    p = argparse.ArgumentParser(prog="corpus_check.sh")
    p.add_argument("--cli", default=os.path.join(ROOT, "build", "src", "orvaldi"))
    p.add_argument("--corpus", default=os.path.normpath(os.path.join(ROOT, "..", "shared", "corpus")))
    p.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "orvaldi-corpus-cache"))
    p.add_argument("--only", default="")
    p.add_argument("--timeout", type=float, default=300.0)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--diffs", default="")
    p.add_argument("--show", type=int, default=8)
    p.add_argument("--strict", action="store_true")
    p.add_argument("--markdown", default="")
    return p.parse_args()


# The published MD5s of the files DFTT #6 and #7 deleted (MANIFEST.md): what recover
# must give for deleted files, which TSK's allocated listing does not cover. On FAT
# a deleted file is read as contiguous clusters, so its fragmented ones give the
# contiguous-read values DFTT also lists.
DFTT_TRUTH = {
    "fat/dftt-6-fat-undel.dd.gz": {
        "åing.dat": "59b20779f69ff9f0ac5fcd2c38835a79", "åult1.dat": "ffd27bd782bdce67750b6b9ee069d2ef",
        "årag1.dat": "c4f3b9a0f17d464f4fc61b94ecf6cc21", "årag2.dat": "965370acfa85aa7e26ab04bbd45cdcae",
        "åir1/mult2.dat": "59cf0e9cd107bc1e75afb7374f6e05bb", "åir1/dir2/frag3.dat": "a7a14ac62f79fdea4056ed5e8bcf97ef",
    },
    "ntfs/dftt-7-ntfs-undel.dd.gz": {
        "res1.dat": "9036637712b491904cd0bfbdbe648453", "sing1.dat": "59b20779f69ff9f0ac5fcd2c38835a79",
        "mult1.dat": "ffd27bd782bdce67750b6b9ee069d2ef", "mult1.dat:ADS": "ba1b9eedb1c091ddca253d35dde8f616",
        "frag1.dat": "7a3bc5b763bef201202108f4ba128149", "frag2.dat": "0e80ab84ef0087e60dfc67b88a1cf13e",
        "dir1/mult2.dat": "59cf0e9cd107bc1e75afb7374f6e05bb", "dir1/dir2/frag3.dat": "21121699487f3fbbdb9a4b3391b6d3e0",
        "../零散目录/$$$Folder37/sing2.dat": "c229626f6a71b167ad7e50c4f2fccdb1",
    },
}


class Outcome:
    def __init__(self, rc, out, err, secs):
        self.rc, self.out, self.err, self.secs = rc, out, err, secs

    def text(self):
        return self.out.decode("utf-8", "replace")


def run(argv, timeout, cwd=None):
    t0 = time.monotonic()
    try:
        p = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout, cwd=cwd)
        return Outcome(p.returncode, p.stdout, p.stderr, time.monotonic() - t0)
    except subprocess.TimeoutExpired as e:
        return Outcome("hang", e.stdout or b"", e.stderr or b"", time.monotonic() - t0)


def unpack(gz, cache):
    """The raw image of `gz` in `cache`, written sparse; reused while the stored file is unchanged."""
    st = os.stat(gz)
    rel = os.path.relpath(gz, ARGS.corpus)
    out = os.path.join(cache, rel[:-3] if rel.endswith(".gz") else rel)
    stamp = out + ".stamp"
    key = f"{st.st_size} {st.st_mtime_ns}"
    if os.path.exists(out) and os.path.exists(stamp) and open(stamp).read() == key:
        return out
    os.makedirs(os.path.dirname(out), exist_ok=True)
    zero = bytes(1 << 16)
    with gzip.open(gz, "rb") as src, open(out + ".part", "wb") as dst:
        while True:
            block = src.read(1 << 16)
            if not block:
                break
            if block == zero[: len(block)]:
                dst.seek(len(block), os.SEEK_CUR)
            else:
                dst.write(block)
        dst.truncate()
    os.replace(out + ".part", out)
    with open(stamp, "w") as f:
        f.write(key)
    return out


def sources(corpus, cache):
    """(name, [image paths], [images TSK reads]) for every image, each dynamic disk group as one
    comma list, and each group once more without one RAID-5 member (read through the others),
    which TSK reads whole."""
    out, groups = [], {}
    for folder in sorted(os.listdir(corpus)):
        path = os.path.join(corpus, folder)
        if folder == "carve" or not os.path.isdir(path):
            continue  # the carving samples are single files, not volumes
        for name in sorted(os.listdir(path)):
            if not name.endswith(".gz"):
                continue
            rel = f"{folder}/{name}"
            if ARGS.quick and "1GiB" in name:
                continue
            if ARGS.only and not re.search(ARGS.only, rel) and not (folder == "ldm" and re.search(ARGS.only, "ldm group")):
                continue
            image = unpack(os.path.join(path, name), cache)
            m = re.match(r"libldm-ldm-(\d{4}r2)-", name)
            if m:
                groups.setdefault(m.group(1), []).append(image)
                if ARGS.quick or (ARGS.only and not re.search(ARGS.only, rel)):
                    continue
            out.append((rel, [image], [image]))
    for gen, images in sorted(groups.items()):
        if not ARGS.only or re.search(ARGS.only, f"ldm group {gen}"):
            out.append((f"ldm group {gen} ({len(images)} disks)", images, images))
            degraded = [i for i in images if not i.endswith("-raid5-2.img")]
            if len(degraded) < len(images):
                out.append((f"ldm group {gen} without raid5-2", degraded, images))
    return out


class Check:
    def __init__(self):
        self.failures = []  # (source, command, outcome)
        self.commands = 0
        self.diffs = []  # (source, part, kind, path, ours, tsk)
        self.rows = []  # one per partition, for --markdown
        self.totals = dict(parts=0, read=0, tsk=0, tskNames=0, ourNames=0, both=0, onlyTsk=0, onlyOurs=0,
                           sizeDiff=0, shaSame=0, shaDiff=0, notIntact=0, truth=0, truthDiff=0, modeDiff=0)

    def orvaldi(self, source, args, timeout=None):
        o = run([ARGS.cli] + args, timeout or ARGS.timeout)
        self.commands += 1
        if o.rc not in DOCUMENTED:
            self.failures.append((source, " ".join(args), o))
        return o


def rc_text(o):
    return str(o.rc) if isinstance(o.rc, str) or o.rc >= 0 else f"signal {-o.rc}"


def json_lines(o):
    rows = []
    for line in o.text().splitlines():
        line = line.strip()
        if line.startswith("{"):
            try:
                rows.append(json.loads(line))
            except json.JSONDecodeError:
                pass
    return rows


class Listing(dict):
    labelsWithData = 0


TSK_TYPE = {"NTFS": "ntfs", "FAT16": "fat", "FAT32": "fat", "exFAT": "exfat"}


def is_system(path):
    """A metadata file or virtual entry (or one below it), or a FAT volume-label entry."""
    first = path.split("/")[0]
    return first in TSK_SYSTEM or first.split(":")[0] in TSK_SYSTEM or path.endswith(" (Volume Label Entry)")


def fls_listing(image, offset, fs):
    """Allocated names fls reads at `offset` (512-byte sectors): (path -> (kind, inode, size), fstype
    flag used), or (None, None) when it reads nothing there. The type is named only when fls
    cannot tell it by itself (a volume holding the remains of another file system)."""
    for flags in ([], ["-f", TSK_TYPE[fs]] if fs in TSK_TYPE else None):
        if flags is None:
            break
        o = run(["fls", "-r", "-p", "-u", "-l", "-o", str(offset)] + flags + [image], ARGS.timeout)
        if o.rc == 0:
            break
    else:
        return None, None
    if o.rc != 0:
        return None, None
    listing, labels = Listing(), 0
    for line in o.text().splitlines():
        cols = line.split("\t")
        head = cols[0].split(" ", 1)
        if len(head) < 2 or len(cols) < 7:
            continue
        kinds, inode = head[0], head[1].rstrip(":").strip()
        if inode.startswith("*"):
            continue  # -u keeps allocated names; a reallocated one is still starred
        path = cols[1]
        labels += path.endswith(" (Volume Label Entry)") and cols[6] not in ("", "0")
        if is_system(path) or path.endswith("/.") or path.endswith("/..") or "/.:" in path:
            continue  # "folder/.:stream" repeats "folder:stream", a folder's named stream
        kind = "folder" if kinds.split("/")[1].startswith("d") else "file"
        size = int(cols[6]) if cols[6].isdigit() else 0
        listing[path] = (kind, inode, size)
    listing.labelsWithData = labels
    return listing, flags


def ours_listing(rows):
    """Existing rows of `ls --json` under the root folder: path below it -> (kind, id, size, intact)."""
    listing, elsewhere = {}, 0
    for r in rows:
        path = r.get("path", "")
        top, _, rest = path.partition("/")
        if not rest:
            continue  # a top folder itself
        if r.get("deleted"):
            continue
        if top != "根目录" or is_system(rest):
            elsewhere += top != "根目录"  # the folder of files whose parent is gone, or of files found by content
            continue
        listing[rest] = (r.get("type"), r.get("id"), r.get("size", 0), r.get("intact", True))
    return listing, elsewhere


def missing_files(walked, searched):
    """Existing files of the walk (system files aside) that the other mode does not list."""
    def files(rows):
        out = {}
        for r in rows:
            path = r.get("path", "")
            if r.get("type") == "file" and not r.get("deleted") and not is_system(path.partition("/")[2]):
                out.setdefault((r.get("name"), r.get("size")), []).append(path)
        return out

    found = files(searched)
    return sorted(p for key, paths in files(walked).items() if len(found.get(key, [])) < len(paths) for p in paths)


def sha_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class TskBytes:
    """The bytes TSK gives for an allocated file: tsk_recover -a writes them all at once; icat
    reads what it does not write (named streams)."""

    def __init__(self, image, offset, flags, folder):
        self.image, self.offset, self.flags, self.folder = image, offset, flags, folder
        shutil.rmtree(folder, ignore_errors=True)
        run(["tsk_recover", "-a", "-o", str(offset)] + flags + [image, folder], ARGS.timeout)

    def sha(self, path, inode):
        written = os.path.join(self.folder, path)
        if ":" not in os.path.basename(path) and os.path.isfile(written):
            return sha_file(written)
        o = run(["icat", "-o", str(self.offset)] + self.flags + [self.image, inode], ARGS.timeout)
        return hashlib.sha256(o.out).hexdigest() if o.rc == 0 else None


def manifest_entry(manifest, path):
    """recover's manifest line for the file at `path` below the root folder; builds before the
    manifest named streams as listed gave the saved name ("f_s" for "f:s")."""
    folder, _, base = path.rpartition("/")
    saved = "/根目录/" + (folder + "/" if folder else "") + base.replace(":", "_", 1)
    return manifest.get("/根目录/" + path) or manifest.get(saved)


def compare(check, name, part, ours, tsk, manifest, tsk_bytes, notes):
    t = check.totals
    t["tsk"] += 1
    both = sorted(set(ours) & set(tsk))
    only_tsk = sorted(set(tsk) - set(ours))
    only_ours = sorted(set(ours) - set(tsk))
    t["tskNames"] += len(tsk)
    t["ourNames"] += len(ours)
    t["both"] += len(both)
    t["onlyTsk"] += len(only_tsk)
    t["onlyOurs"] += len(only_ours)
    for p in only_tsk:
        check.diffs.append((name, part, "only-tsk", p, "", f"{tsk[p][0]} {tsk[p][2]} inode {tsk[p][1]}"))
    for p in only_ours:
        check.diffs.append((name, part, "only-ours", p, f"{ours[p][0]} {ours[p][2]} id {ours[p][1]}", ""))
    same = diff = size_diff = 0
    files = [p for p in both if ours[p][0] == "file" and tsk[p][0] == "file"]
    for p in files:
        if ours[p][2] != tsk[p][2]:
            size_diff += 1
            check.diffs.append((name, part, "size", p, str(ours[p][2]), str(tsk[p][2])))
            continue
        entry = manifest_entry(manifest, p)
        if entry is None:
            check.diffs.append((name, part, "not-recovered", p, "", tsk[p][1]))
            diff += 1
            continue
        theirs = tsk_bytes.sha(p, tsk[p][1])
        if theirs == entry["sha256"]:
            same += 1
        else:
            diff += 1
            check.diffs.append((name, part, "content", p, f"{entry['sha256'][:16]} {entry['verdict']}",
                                (theirs or "icat failed")[:16]))
    for p in both:
        if ours[p][0] != tsk[p][0]:
            check.diffs.append((name, part, "kind", p, ours[p][0], tsk[p][0]))
    t["sizeDiff"] += size_diff
    t["shaSame"] += same
    t["shaDiff"] += diff
    return dict(tsk=len(tsk), ours=len(ours), both=len(both), onlyTsk=len(only_tsk), onlyOurs=len(only_ours),
                size=size_diff, same=same, diff=diff, notes=notes)


def read_manifest(folder):
    entries = {}
    path = os.path.join(folder, "manifest.jsonl")
    if not os.path.exists(path):
        return entries
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            try:
                e = json.loads(line)
            except json.JSONDecodeError:
                continue
            if "source" in e:
                entries[e["source"]] = e
    return entries


class LdmVolumes:
    """The volumes of a disk group laid out from ldmtool's reading of its metadata (an independent
    reader): simple and spanned volumes end to end, striped ones by chunk, a mirror from its first
    copy, RAID-5 left-symmetric (each row's data starts on the member after its
    parity chunk; of the four layouts only this one gives fls a volume)."""

    def __init__(self, images, work):
        self.images, self.work, self.kind, self.made = images, work, {}, {}
        dev = [a for i in images for a in ("-d", i)]
        self.tool = lambda *args: self._json(["ldmtool"] + dev + list(args))
        groups = self.tool("scan") if shutil.which("ldmtool") else None
        self.group = groups[0] if groups else None

    @staticmethod
    def _json(argv):
        o = run(argv, 60)
        try:
            return json.loads(o.text()) if o.rc == 0 else None
        except json.JSONDecodeError:
            return None

    def volume(self, name):
        if not self.group:
            return None
        if name in self.made:
            return self.made[name]
        v = self.tool("show", "volume", self.group, name)
        path = None
        if v:
            self.kind[name] = v["type"]
            parts = []
            for pn in v["partitions"]:
                part = self.tool("show", "partition", self.group, pn)
                disk = self.tool("show", "disk", self.group, part["disk"]) if part else None
                if disk and disk.get("device"):
                    parts.append((disk["device"], disk["data-start"] + part["start"], part["size"]))
                elif v["type"] != "mirrored":  # a mirror reads from any copy given
                    parts = None
                    break
            if parts:
                path = os.path.join(self.work, f"ldm-{name}.img")
                self._write(path, v["type"], int(v.get("chunk-size") or 0), int(v["size"]), parts)
        self.made[name] = path
        return path

    @staticmethod
    def _write(path, kind, chunk, size, parts):
        files = [open(d, "rb") for d, _, _ in parts]

        def piece(i, sector, count):
            files[i].seek((parts[i][1] + sector) * 512)
            return files[i].read(count * 512)

        with open(path, "wb") as out:
            if kind in ("simple", "spanned"):
                for i, (_, _, n) in enumerate(parts):
                    out.write(piece(i, 0, n))
            elif kind == "mirrored":
                out.write(piece(0, 0, size))
            else:
                n = len(parts)
                data = n - 1 if kind == "RAID5" else n
                for k in range(0, (size + chunk - 1) // chunk):
                    row, col = divmod(k, data)
                    if kind == "RAID5":
                        col = ((n - 1) - row % n + 1 + col) % n  # the chunk after the row's parity
                    out.write(piece(col, row * chunk, chunk))
            out.truncate(size * 512)
        for f in files:
            f.close()


def check_source(check, name, images, tsk_images, work):
    src = ",".join(images)
    t0 = time.monotonic()
    parts = check.orvaldi(name, ["parts", src, "--json"])
    partitions = []
    if parts.rc == 0:
        try:
            doc = json.loads(parts.text())
            partitions = doc["partitions"] if isinstance(doc, dict) else doc
        except (json.JSONDecodeError, KeyError):
            check.failures.append((name, "parts --json (output is no JSON)", parts))
    print(f"\n== {name}: parts exit {rc_text(parts)}, {len(partitions)} partition(s)")
    header = f"{'part':<14} {'fs':<6} {'start':>9} {'walk':>10} {'search':>10} {'deep':>10} {'recover':>16}" \
             f" {'TSK':>5} {'ours':>5} {'both':>5} {'-tsk':>4} {'-ours':>5} {'size':>4} {'sha=':>5} {'sha≠':>4}"
    print(header)
    if not partitions:
        check.rows.append([name, None, f"parts exit {rc_text(parts)}"] + ["-"] * 13)
    ldm = LdmVolumes(tsk_images, work) if any("volumeKind" in p for p in partitions) else None
    for p in partitions:
        idx = str(p.get("index"))
        fs, start = p.get("fs", ""), int(p.get("start", 0))
        label = f"{idx} {p.get('name', '')}"[:14]
        check.totals["parts"] += 1
        cells, rows_walk, lost = {}, [], {}
        for mode in MODES:
            o = check.orvaldi(name, ["ls", src, idx, "--mode", mode, "--json"])
            rows = json_lines(o)
            cells[mode] = f"{rc_text(o)}/{len(rows)}"
            if mode == "walk":
                rows_walk = rows
            elif rows and rows_walk and o.rc in (0, 6):
                # What the walk lists, the search of the same volume finds too (by name and
                # size: the FAT search names the folders it finds by their clusters).
                lost[mode] = missing_files(rows_walk, rows)
                check.totals["modeDiff"] += len(lost[mode])
                for f in lost[mode]:
                    check.diffs.append((name, f"{idx} {p.get('name', '')}"[:14], f"not-in-{mode}", f, "", ""))
        target = os.path.join(work, "recover")
        shutil.rmtree(target, ignore_errors=True)
        rec = check.orvaldi(name, ["recover", src, idx, "--to", target])
        manifest = read_manifest(target)
        intact = sum(1 for e in manifest.values() if e.get("verdict") == "intact")
        rec_cell = f"{rc_text(rec)}/{len(manifest)} ({intact}✓)"
        truth = DFTT_TRUTH.get(name, {})
        for path, md5 in truth.items():
            saved = os.path.normpath(os.path.join(target, "根目录", path.replace(":", "_")))
            got = hashlib.md5(open(saved, "rb").read()).hexdigest() if os.path.isfile(saved) else "missing"
            check.totals["truth"] += 1
            if got != md5:
                check.totals["truthDiff"] += 1
                check.diffs.append((name, f"{idx} {p.get('name', '')}"[:14], "dftt-md5", path, got, md5))
        shutil.rmtree(target, ignore_errors=True)
        stats = None
        if fs in READ_FS and rows_walk:
            check.totals["read"] += 1
            ours, elsewhere = ours_listing(rows_walk)
            notes = [f"{elsewhere} existing row(s) outside the root folder"] if elsewhere else []
            if "volumeKind" not in p:
                tsk_image, tsk_offset = images[0], start
            else:
                # A volume of a disk group: its bytes as ldmtool's metadata lays them out,
                # for fls to read at sector 0.
                tsk_image, tsk_offset = ldm.volume(p.get("name", "")), 0
                notes.append(f"TSK read the volume assembled from ldmtool's metadata ({ldm.kind.get(p.get('name'), '?')})"
                             if tsk_image else "ldmtool cannot lay this volume out (a member disk is not given)")
            tsk, flags = fls_listing(tsk_image, tsk_offset, fs) if tsk_image else (None, None)
            if flags:
                notes.append(f"fls needs {' '.join(flags)} here")
            if tsk is not None and tsk.labelsWithData:
                notes.append(f"fls lists {tsk.labelsWithData} volume-label entr(y/ies) with data (no files here)")
            if tsk is not None:
                tsk_bytes = TskBytes(tsk_image, tsk_offset, flags, os.path.join(work, "tsk"))
                stats = compare(check, name, label, ours, tsk, manifest, tsk_bytes, notes)
                shutil.rmtree(os.path.join(work, "tsk"), ignore_errors=True)
            elif tsk_image:
                notes.append("TSK does not read this volume")
            check.totals["notIntact"] += sum(1 for v in ours.values() if v[3] is False)
        line = f"{label:<14} {fs:<6} {start:>9} {cells['walk']:>10} {cells['search']:>10} {cells['deep']:>10} {rec_cell:>16}"
        if stats:
            line += f" {stats['tsk']:>5} {stats['ours']:>5} {stats['both']:>5} {stats['onlyTsk']:>4}" \
                    f" {stats['onlyOurs']:>5} {stats['size']:>4} {stats['same']:>5} {stats['diff']:>4}"
        else:
            line += f" {'-':>5}"
        print(line)
        tsk_cells = [str(stats[k]) for k in ("tsk", "ours", "both", "onlyTsk", "onlyOurs", "size", "same", "diff")] \
            if stats else ["-"] * 8
        check.rows.append([name, label, fs or "-", str(start), cells["walk"], cells["search"], cells["deep"], rec_cell]
                          + tsk_cells)
        notes = stats["notes"] if stats else (notes if fs in READ_FS and rows_walk else [])
        for n in notes:
            print(f"    note: {n}")
        mine = [d for d in check.diffs if d[0] == name and d[1] == label]
        for d in mine[: ARGS.show]:
            print(f"    {d[2]:<13} {d[3]}  ours: {d[4] or '-'}  TSK: {d[5] or '-'}")
        if len(mine) > ARGS.show:
            print(f"    ... {len(mine) - ARGS.show} more difference(s)")
    for f in os.listdir(work):
        if f.startswith("ldm-"):
            os.remove(os.path.join(work, f))
    print(f"   ({time.monotonic() - t0:.1f} s)")


def write_markdown(rows, path):
    """One line per source: its partitions, the exit codes of each command (with the rows
    listed or files saved, summed over the partitions), and the comparison with TSK."""
    by_source = {}
    for r in rows:
        by_source.setdefault(r[0], []).append(r)

    def codes(cells):
        rcs = sorted({c.split("/")[0] for c in cells}, key=lambda x: (len(x), x))
        total = sum(int(re.match(r"[^/]*/(\d+)", c).group(1)) for c in cells)
        return f"{','.join(rcs)} / {total}"

    with open(path, "w", encoding="utf-8") as f:
        f.write("| source | parts (fs) | ls walk | ls search | ls deep | recover (intact) | TSK | ours | both"
                " | only TSK | only ours | size≠ | sha= | sha≠ |\n|" + "---|" * 14 + "\n")
        for name, rs in by_source.items():
            if rs[0][1] is None:  # no partitions
                f.write(f"| {name} | 0 ({rs[0][2]}) |" + " - |" * 12 + "\n")
                continue
            fss = sorted({r[2] for r in rs})
            rec = codes([r[7] for r in rs])
            intact = sum(int(re.search(r"\((\d+)✓\)", r[7]).group(1)) for r in rs)
            tsk = [r for r in rs if r[8] != "-"]
            sums = [str(sum(int(r[i]) for r in tsk)) if tsk else "-" for i in range(8, 16)]
            cells = [name.replace("|", "\\|"), f"{len(rs)} ({', '.join(fss)})", codes([r[4] for r in rs]),
                     codes([r[5] for r in rs]), codes([r[6] for r in rs]), f"{rec} ({intact})"] + sums
            f.write("| " + " | ".join(cells) + " |\n")


def main():
    if not os.path.isdir(ARGS.corpus):
        print(f"corpus_check: no corpus at {ARGS.corpus}; skipped", file=sys.stderr)
        return 77
    if not os.access(ARGS.cli, os.X_OK):
        print(f"corpus_check: {ARGS.cli} is not an executable (build first, or --cli PATH)", file=sys.stderr)
        return 2
    if not all(shutil.which(t) for t in ("fls", "icat", "tsk_recover")):
        print("corpus_check: fls, icat or tsk_recover not found (apt-get install sleuthkit); skipped", file=sys.stderr)
        return 77
    t0 = time.monotonic()
    check = Check()
    work = tempfile.mkdtemp(prefix="orvaldi-corpus-")
    try:
        for name, images, tsk_images in sources(ARGS.corpus, ARGS.cache):
            check_source(check, name, images, tsk_images, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    t = check.totals
    print("\n== summary")
    print(f"commands run: {check.commands}; partitions: {t['parts']} ({t['read']} listed as FAT/NTFS/exFAT,"
          f" {t['tsk']} compared with TSK)")
    print(f"allocated names: TSK {t['tskNames']}, ours {t['ourNames']}, both {t['both']},"
          f" only TSK {t['onlyTsk']}, only ours {t['onlyOurs']}, size differs {t['sizeDiff']}")
    print(f"contents (sha256 of recover against icat): same {t['shaSame']}, differ {t['shaDiff']};"
          f" existing files listed not intact: {t['notIntact']}")
    print(f"existing files the walk lists that search/deep do not: {t['modeDiff']}")
    print(f"deleted files against DFTT's published MD5s: {t['truth'] - t['truthDiff']} of {t['truth']} agree")
    print(f"time: {time.monotonic() - t0:.1f} s")
    if ARGS.markdown:
        write_markdown(check.rows, ARGS.markdown)
    if ARGS.diffs:
        with open(ARGS.diffs, "w", encoding="utf-8") as f:
            for d in check.diffs:
                f.write("\t".join(str(x) for x in d) + "\n")
    if check.failures:
        print(f"\nFAILED: {len(check.failures)} command(s) crashed, hung or used an undocumented exit code:")
        for source, command, o in check.failures:
            err = o.err.decode("utf-8", "replace").strip().splitlines()
            print(f"  {source}: orvaldi {command} -> {rc_text(o)}  {err[-1] if err else ''}")
        return 1
    print("every command ended with a documented exit code")
    if ARGS.strict and (t["sizeDiff"] or t["shaDiff"] or t["truthDiff"] or t["modeDiff"]):
        print(f"FAILED (--strict): {t['sizeDiff']} size, {t['shaDiff']} content, {t['truthDiff']} DFTT and"
              f" {t['modeDiff']} walk/search difference(s)")
        return 1
    return 0


ARGS = parse_args()
sys.exit(main())
PY
