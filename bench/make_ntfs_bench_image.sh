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

export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"
export LC_ALL=C.UTF-8 TZ=UTC

log() { printf '== %s\n' "$*" >&2; }
die() { printf 'make_ntfs_bench_image: %s\n' "$*" >&2; exit 1; }

# ---------------------------------------------------------------- packages
REQUIRED=(mkntfs ntfs-3g  ntfs-3g ntfs-3g  ntfsinfo ntfs-3g  fusermount fuse3  fls sleuthkit  python3 python3)
install_missing() {
  local missing=() i
  for ((i = 0; i < ${#REQUIRED[@]}; i += 2)); do
    command -v "${REQUIRED[i]}" >/dev/null 2>&1 || missing+=("${REQUIRED[i + 1]}")
  done
  ls /usr/lib/*/faketime/libfaketime.so.1 >/dev/null 2>&1 || missing+=(libfaketime)
  ((${#missing[@]})) || return 0
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  [[ $(id -u) == 0 ]] || die "missing packages (run as root to install): ${missing[*]}"
  log "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
install_missing
[[ $(id -u) == 0 ]] || die "must run as root (FUSE mount)"
[[ -c /dev/fuse ]] || die "/dev/fuse is missing"
FTLIB=$(ls /usr/lib/*/faketime/libfaketime.so.1 | head -n1)

OUT=$(realpath -m "$OUT")
WORK=$(mktemp -d /tmp/orvaldi-ntfsbench.XXXXXX)
MNT="$WORK/mnt"
NTFS_PID=
cleanup() {
  if mountpoint -q "$MNT" 2>/dev/null; then
    fusermount -u "$MNT" 2>/dev/null || umount "$MNT" 2>/dev/null || umount -l "$MNT" 2>/dev/null || true
  fi
  if [[ -n $NTFS_PID ]]; then
    kill "$NTFS_PID" 2>/dev/null || true
    wait "$NTFS_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
START=$(date +%s.%N)
stamp() { python3 -c "import sys, time; print(f'{time.time() - float(sys.argv[1]):.1f}')" "${1:-$START}"; }

# ---------------------------------------------------------------- format + mount
rm -f "$OUT"
truncate -s "$SIZE" "$OUT"
LD_PRELOAD="$FTLIB" FAKETIME="2024-03-01 09:00:00" \
  mkntfs -Q -F -q -p 2048 -H 255 -S 63 -s 512 -c 4096 -L NTFSBENCH "$OUT" >/dev/null 2>&1
mkdir -p "$MNT"
LD_PRELOAD="$FTLIB" FAKETIME="2024-03-01 09:10:00" \
  ntfs-3g -o no_detach,noatime,big_writes "$OUT" "$MNT" >"$WORK/ntfs-3g.log" 2>&1 &
NTFS_PID=$!
for ((i = 0; i < 100; i++)); do mountpoint -q "$MNT" && break; sleep 0.1; done
mountpoint -q "$MNT" || die "ntfs-3g mount did not appear: $(cat "$WORK/ntfs-3g.log")"

# ---------------------------------------------------------------- the tree
log "creating $((TOPS * 10)) folders with 99 files each through the mount"
FILL_START=$(date +%s.%N)
python3 - "$MNT" "$TOPS" <<'PY'
import os, sys, time
mnt, tops = sys.argv[1], int(sys.argv[2])
t0 = time.time()
n = 0
dirs = []
for d in range(tops):
    top = f"Folder {d:03d}"
    dirs.append(top)
    dirs += [f"{top}/sub{s}" for s in range(1, 10)]
for k, p in enumerate(dirs):
    os.mkdir(os.path.join(mnt, p))
    tag = p.replace("Folder ", "").replace("/sub", "-")
    for i in range(99):
        n += 1
        if i % 5 == 4:
            name = f"报告 {tag}-{i:03d}.txt"
        elif i % 2:
            name = f"report {tag.replace('-', ' sub')} {i:03d}.txt"
        else:
            name = f"F{n:07d}.DAT"
        line = f"{p}/{name}: file {n:06d} of the bench tree\n"
        with open(os.path.join(mnt, p, name), "w", encoding="utf-8") as f:
            f.write(line * (1 + n % 12))
    if (k + 1) % 100 == 0:
        print(f"== {k + 1} folders, {n} files after {time.time() - t0:.1f} s", file=sys.stderr, flush=True)
PY
FILL_S=$(stamp "$FILL_START")

sync
fusermount -u "$MNT"
wait "$NTFS_PID" || die "ntfs-3g exited with status $?"
NTFS_PID=
BUILD_S=$(stamp)

# ---------------------------------------------------------------- checks
ntfsinfo -m "$OUT" >/dev/null 2>&1 || die "ntfsinfo -m refuses the image"
listing=$(fls -r -p "$OUT")
nfiles=$(grep -c '^r/r [0-9]*-128-[0-9]*:	[^$]' <<<"$listing" || true)
ndirs=$(grep -c '^d/d [0-9]*-144-[0-9]*:	[^$]' <<<"$listing" || true)
log "fls -r: $nfiles files, $ndirs folders outside the system files ($(wc -l <<<"$listing") lines)"
log "built $OUT ($SIZE): creating the tree through the mount took $FILL_S s; $BUILD_S s with mkntfs and the unmount, $(stamp) s with the checks"
