# shellcheck shell=bash
# Shared by the scripts that build disk images (tools/make_demo_image.sh,
# tests/fixtures/make_*.sh, bench/make_*_bench_image.sh). Source it right
# after `set -euo pipefail`; it only defines things and sets the environment.
#
# What every builder needs the same way: the tool lookup and package
# installs, log/die, the frozen clock (libfaketime), the scratch directory
# and its cleanup (FUSE mounts, an ntfs-3g daemon, loop devices), the
# foreground ntfs-3g mount, the shell-quoted command log, gzip output, and
# imagelib.py, the Python helpers their embedded scripts import (seeded file
# contents, the benchmark tree, facts and README pieces).

export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"
export LC_ALL=C.UTF-8 TZ=UTC
# mtools skips most of its sanity checks on the images; no effect on the builders
# that do not run mtools
export MTOOLS_SKIP_CHECK=1

IMAGE_TOOL=$(basename "$0" .sh)   # prefix of die's messages

log() { printf '== %s\n' "$*" >&2; }
die() { printf '%s: %s\n' "$IMAGE_TOOL" "$*" >&2; exit 1; }
need_root() { [[ $(id -u) == 0 ]] || die "must run as root ($*)"; }
need_fuse() { [[ -c /dev/fuse ]] || die "/dev/fuse is missing"; }

# ---------------------------------------------------------------- packages
# install_missing CMD PKG [CMD PKG]... - apt-get install the package of every
# command not on PATH, plus libfaketime; then sets FTLIB to libfaketime's path.
install_missing() {
  local missing=() i args=("$@")
  for ((i = 0; i < ${#args[@]}; i += 2)); do
    command -v "${args[i]}" >/dev/null 2>&1 || missing+=("${args[i + 1]}")
  done
  ls /usr/lib/*/faketime/libfaketime.so.1 >/dev/null 2>&1 || missing+=(libfaketime)
  if ((${#missing[@]})); then
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
    [[ $(id -u) == 0 ]] || die "missing packages (run as root to install): ${missing[*]}"
    log "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  FTLIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 | head -n1)
}

# frozen "YYYY-MM-DD hh:mm:ss" CMD... - run CMD with the clock frozen at that instant
frozen() { local when=$1; shift; LD_PRELOAD="$FTLIB" FAKETIME="$when" "$@"; }
# at WHEN CMD... - frozen, and once start_cmdlog has run, logged as FAKETIME="WHEN" CMD
at() {
  [[ -z $CMDLOG ]] || logcmd "FAKETIME=\"$1\" $(quote "${@:2}")"
  frozen "$@"
}

# ---------------------------------------------------------------- scratch + cleanup
# make_workdir NAME - create /tmp/orvaldi-NAME.XXXXXX as $WORK, cd into it,
# write imagelib.py there and clean up on exit: unmount everything in MOUNTS
# (which starts with $MNT = $WORK/mnt), stop the ntfs-3g daemon in NTFS_PID,
# detach the loop devices in LOOPS. KEEP_WORK=1 keeps the directory.
make_workdir() {
  WORK=$(mktemp -d "/tmp/orvaldi-$1.XXXXXX")
  MNT="$WORK/mnt"
  MOUNTS=("$MNT")
  LOOPS=()
  NTFS_PID=
  trap cleanup EXIT
  cd "$WORK" || die "cannot enter $WORK"
  write_imagelib
}
cleanup() {
  local m l
  for m in "${MOUNTS[@]}"; do
    if mountpoint -q "$m" 2>/dev/null; then
      fusermount -u "$m" 2>/dev/null || umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    fi
  done
  if [[ -n $NTFS_PID ]]; then
    kill "$NTFS_PID" 2>/dev/null || true
    wait "$NTFS_PID" 2>/dev/null || true
  fi
  for l in "${LOOPS[@]}"; do losetup -d "$l" 2>/dev/null || true; done
  if [[ -n ${KEEP_WORK:-} ]]; then log "scratch kept in $WORK"; else rm -rf "$WORK"; fi
}

# ---------------------------------------------------------------- ntfs-3g
# wait_mount DIR - wait up to 10 s for DIR to become a mount point
wait_mount() {
  local i
  for ((i = 0; i < 100; i++)); do mountpoint -q "$1" && return 0; sleep 0.1; done
  return 1
}
# ntfs3g_mount IMG DIR WHEN OPTS [LOG] - mount IMG on DIR with the clock frozen
# at WHEN; ntfs-3g stays in the foreground (no_detach in OPTS) as NTFS_PID so
# the unmount can wait for it. Its output goes to LOG (default: nowhere).
ntfs3g_mount() {
  local img=$1 dir=$2 when=$3 opts=$4 out=${5:-/dev/null}
  mkdir -p "$dir"
  LD_PRELOAD="$FTLIB" FAKETIME="$when" ntfs-3g -o "$opts" "$img" "$dir" >>"$out" 2>&1 &
  NTFS_PID=$!
  wait_mount "$dir" || die "ntfs-3g mount of $img did not appear$([[ $out == /dev/null ]] || printf ': %s' "$(tail -n 5 "$out")")"
}
# ntfs3g_umount DIR - unmount and wait for the daemon: it writes everything
# back to the image before it exits
ntfs3g_umount() {
  sync
  fusermount -u "$1"
  wait "$NTFS_PID" || die "ntfs-3g exited with status $?"
  NTFS_PID=
}

# ---------------------------------------------------------------- command log
# For the READMEs: every command that shapes an image is logged as a shell
# line to $CMDLOG, tagged with the image it belongs to ($CUR). A builder that
# keeps its log elsewhere redefines logcmd.
CMDLOG=
start_cmdlog() {
  CMDLOG="$WORK/cmds.txt"
  : >"$CMDLOG"
  CUR=none
}
quote() { # quote ARG... - shell words, double-quoted only where needed
  local a out=()
  for a in "$@"; do
    if [[ -z $a || $a =~ [^A-Za-z0-9_./:=+@%,-] ]]; then out+=("\"$a\""); else out+=("$a"); fi
  done
  printf '%s' "${out[*]}"
}
logcmd() { printf '%s\t%s\n' "$CUR" "$1" >>"$CMDLOG"; }
run() { logcmd "$(quote "$@")"; "$@"; }
note() { logcmd "# $*"; }

# ---------------------------------------------------------------- outputs
# gz_out FILE DEST - gzip -9n FILE to DEST, replacing DEST only when complete
gz_out() {
  gzip -9n -c "$1" >"$2.tmp"
  mv "$2.tmp" "$2"
}
# tsk_listings NAME - The Sleuth Kit's view of NAME.img, kept next to the manifests
tsk_listings() {
  fls -r -p "$1.img" >"$1.fls.txt"
  fls -rd -p "$1.img" >"$1.flsd.txt"
  fsstat "$1.img" >"facts/$1.fsstat.txt"
}
# publish_fixture NAME - NAME.img.gz, its manifest and TSK listings into $OUT
publish_fixture() {
  local name=$1 s
  gz_out "$name.img" "$OUT/$name.img.gz"
  for s in files.tsv fls.txt flsd.txt; do cp "$name.$s" "$OUT/$name.$s"; done
  stat -c %s "$OUT/$name.img.gz" >"facts/$name.gzsize"
  log "$name: $(stat -c %s "$OUT/$name.img.gz") bytes gz, $(($(wc -l <"$name.files.tsv") - 1)) manifest rows"
}

# stamp [SINCE] - seconds since SINCE (default $START), one decimal
stamp() { python3 -c "import sys, time; print(f'{time.time() - float(sys.argv[1]):.1f}')" "${1:-$START}"; }

# ---------------------------------------------------------------- imagelib.py
write_imagelib() {
  cat >imagelib.py <<'PY'
# Helpers for the image builders' embedded Python (see tools/image_lib.sh).
import hashlib, json, os, struct, subprocess, sys
from collections import OrderedDict

# ---- seeded file contents
# Every file's bytes come from these, seeded by a tag, so sha256 values hold
# for any re-run. Text numbers its lines and binary data carries offsets, so
# no two sectors of a file are alike and a misplaced cluster shows up.

def stream(seed, n, avoid_ff=False):
    b = bytearray(hashlib.shake_256(seed.encode()).digest(n))
    if avoid_ff:
        b = b.replace(b"\xff", b"\xfe")
    return bytes(b)

def text(tag, size):
    out, n, total = [], 0, 0
    while total < size:
        line = f"{tag} line {n:05d}: the quick brown fox jumps over the lazy dog\r\n"
        out.append(line); total += len(line); n += 1
    return "".join(out).encode()[:size]

def zh(tag, size, body="恢复测试用的中文内容，每一行都带编号。"):
    out, n, total = [], 0, 0
    while total < size:
        line = f"{tag} 第{n:05d}行：{body}\r\n".encode()
        out.append(line); total += len(line); n += 1
    return b"".join(out)[:size]

def counter(tag, size):
    # 32-byte records "<tag> @<offset in hex>" padded with dots
    out = bytearray()
    while len(out) < size:
        rec = f"{tag[:16]} @{len(out):08x}".encode()
        out += rec + b"." * (31 - len(rec)) + b"\n"
    return bytes(out[:size])

def jpeg(tag, size, comment="Orvaldi fixture"):
    # JPEG framing (SOI, APP0/JFIF, COM, DQT, SOF0, SOS ... EOI) around
    # pseudo-random scan data with no 0xFF bytes: enough for signature
    # carving, not a decodable picture.
    head = bytearray(b"\xff\xd8")
    head += b"\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    com = f"{comment} {tag}".encode()
    head += b"\xff\xfe" + struct.pack(">H", len(com) + 2) + com
    head += b"\xff\xdb\x00\x43\x00" + bytes((i % 50) + 1 for i in range(64))
    head += b"\xff\xc0\x00\x11\x08\x01\xe0\x02\x80\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01"
    head += b"\xff\xda\x00\x0c\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00"
    return bytes(head) + stream(tag, size - len(head) - 2, avoid_ff=True) + b"\xff\xd9"

P = {}
def put(img, path, data):
    P[(img, path)] = data

def write_payload(files=P):
    """Write every entry to payload/<key>; a key is a path or an (image, path) pair."""
    for key, data in files.items():
        p = os.path.join("payload", *(key if isinstance(key, tuple) else (key,)))
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)

def bench_tree(tops):
    """The listing benchmarks' tree, folder by folder in creation order:
    (folder, [(file name, content)]). TOPS top folders "Folder 000".., each
    with sub1..sub9; 99 files in every folder, named in turn 8.3 upper case,
    long with spaces and, every fifth, Chinese."""
    dirs = []
    for d in range(tops):
        top = f"Folder {d:03d}"
        dirs.append(top)
        dirs += [f"{top}/sub{s}" for s in range(1, 10)]
    n = 0
    for p in dirs:
        tag = p.replace("Folder ", "").replace("/sub", "-")
        files = []
        for i in range(99):
            n += 1
            if i % 5 == 4:
                name = f"报告 {tag}-{i:03d}.txt"
            elif i % 2:
                name = f"report {tag.replace('-', ' sub')} {i:03d}.txt"
            else:
                name = f"F{n:07d}.DAT"
            line = f"{p}/{name}: file {n:06d} of the bench tree\n"
            files.append((name, line * (1 + n % 12)))
        yield p, files

# ---- checks, facts and READMEs

def sha(b): return hashlib.sha256(b).hexdigest()
def run(*a, check=True):
    return subprocess.run(a, check=check, capture_output=True).stdout
def read(p): return open(p, encoding="utf-8").read()

def F(n): return json.load(open(f"facts/{n}.json"))
def row(n, p): return next(r for r in F(n)["rows"] if r["path"] == p)

def save_facts(name, facts, problems):
    """facts/NAME.json, then stop with the list of problems if there are any."""
    json.dump(facts, open(f"facts/{name}.json", "w"), ensure_ascii=False, indent=1)
    if problems:
        sys.exit(f"{name}: checks failed:\n  " + "\n  ".join(problems))

_unmet = []
def need(cond, msg):
    if not cond: _unmet.append(msg)
def check_needs():
    if _unmet:
        sys.exit("expectations failed:\n  " + "\n  ".join(_unmet))

def cmd_details(*keys):
    """README lines: the commands logged for KEYS in cmds.txt, folded away."""
    cmds = OrderedDict()
    for line in read("cmds.txt").splitlines():
        k, c = line.split("\t", 1)
        cmds.setdefault(k, []).append(c)
    return ["<details><summary>commands</summary>\n", "```",
            *(c for k in keys for c in cmds.get(k, [])), "```\n</details>\n"]
PY
}
