#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while, seeded from
# the test fixtures; any crash, leak, timeout or over-limit allocation fails.
# Usage: tools/fuzz.sh [SECONDS_PER_TARGET [TARGET ...]]   (default 30 s, every target)
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_JOBS (default: the cores),
#   FUZZ_CORPUS_DIR: keep each target's corpus in DIR/TARGET and grow it run after
#   run (default: a fresh corpus under the build directory each run),
#   FUZZ_SUMMARY: the table of the runs' figures (default BUILD/runs/summary.tsv).
set -euo pipefail
trap 'echo "fuzz: stopped by a failed command at line $LINENO" >&2' ERR

# No single allocation may exceed MALLOC_LIMIT_MB (MiB): a size read from a disk
# is checked against what the source can hold before it sizes a buffer, so an
# input of at most MAX_LEN bytes has no business near it. The resident limit is
# higher, as a sanitized target with its corpus holds several hundred MiB in
# normal running.
MALLOC_LIMIT_MB=256
RSS_LIMIT_MB=2048
MAX_LEN=65536
SECONDS_PER_TARGET="${1:-30}"
shift $(($# > 0 ? 1 : 0))
[[ $SECONDS_PER_TARGET =~ ^[0-9]+$ ]] || { echo "fuzz: seconds per target must be a number, not '$SECONDS_PER_TARGET'" >&2; exit 2; }

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
JOBS="${FUZZ_JOBS:-$(nproc)}"
FIXTURES="$ROOT/tests/fixtures"
RUNS="$BUILD/runs"
CORPORA="${FUZZ_CORPUS_DIR:-}"
SUMMARY="${FUZZ_SUMMARY:-$RUNS/summary.tsv}"

# libFuzzer is part of clang's runtime package, which clang only recommends.
"$ROOT/tools/packages.sh" clang libclang-rt-dev cmake ninja-build
if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  # Line tables only: enough for the reports' stack traces, and a faster build.
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DORVALDI_FUZZ=ON >/dev/null
fi
cmake --build "$BUILD" -j"$(nproc)"

mapfile -t TARGETS < <(find "$BUILD/fuzz" -maxdepth 1 -name 'fuzz_*' -type f -perm -u+x -printf '%f\n' | sort)
((${#TARGETS[@]})) || { echo "fuzz: no targets built in $BUILD/fuzz" >&2; exit 1; }
if (($#)); then
  # The named targets only, in the order given (one long run after another).
  for t in "$@"; do
    [[ -x $BUILD/fuzz/$t ]] || { echo "fuzz: no target $t (built: ${TARGETS[*]})" >&2; exit 2; }
  done
  TARGETS=("$@")
fi

rm -rf "$RUNS"
IMAGES="$RUNS/images"
mkdir -p "$IMAGES"

# ------------------------------------------------------------------ seeds
# The fixtures are whole disks and volumes of several MiB; a seed is a slice of
# one (at most MAX_LEN bytes), laid out as the target reads its input.

img() {  # img NAME: the unpacked fixture tests/fixtures/NAME.img.gz
  local out="$IMAGES/${1//\//_}.img"
  [[ -f $out ]] || gzip -dc "$FIXTURES/$1.img.gz" >"$out"
  printf '%s\n' "$out"
}
slice() {  # slice FILE OFFSET LENGTH: those bytes of FILE to stdout
  dd if="$1" iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none
}
le() {  # le FILE OFFSET BYTES: an unsigned little-endian field of FILE
  od -An -tu"$3" -j"$2" -N"$3" "$1" | tr -d ' '
}
put_le32() {  # put_le32 FILE OFFSET VALUE
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) \
    $(($3 >> 24 & 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
byte() { printf "\\x$(printf %02x "$1")"; }

NTFS=(ntfs/ntfs-tree ntfs/ntfs-small-records volumes/ntfs-p0)
FAT16=(fat/fat16-512 volumes/fat16-224 volumes/fat16-512)
FAT32=(fat/fat32-tree fat/fat32-highword fat/fat32-reformatted volumes/fat32-label-after-files)
DISKS=(ptables/gpt ptables/gpt-gap ptables/mbr-dos-chain ptables/mbr-exfat-primary ptables/mbr-ext
       volumes/ntfs-p2048 lvm/lvm-pv)
OTHER=(volumes/exfat volumes/ext2 volumes/ext3 volumes/ext4 volumes/ext4-never-mounted
       volumes/ext4-nojournal volumes/hfs)
ALL=("${NTFS[@]}" "${FAT16[@]}" "${FAT32[@]}" "${DISKS[@]}" "${OTHER[@]}")

mft_offset() {  # the byte offset of $MFT in an NTFS volume image
  local f=$1
  echo $(($(le "$f" 48 8) * $(le "$f" 13 1) * $(le "$f" 11 2)))
}
mft_record_bytes() {  # record size: clusters when positive, else 2^-value bytes
  local f=$1 v
  v=$(od -An -td1 -j64 -N1 "$f" | tr -d ' ')
  if ((v > 0)); then echo $((v * $(le "$f" 13 1) * $(le "$f" 11 2))); else echo $((1 << -v)); fi
}

# A FAT32 volume whose FATs and data do fit in one seed: the FATs cut to their
# first 16 sectors (the entries of the first clusters) and the data area moved
# up behind them, so a walk reaches the root folder and the first files.
fat32_compact() {  # fat32_compact IMAGE LENGTH
  local f=$1 len=$2 bps rsvd nfat fatsz keep=16 out
  bps=$(le "$f" 11 2); rsvd=$(le "$f" 14 2); nfat=$(le "$f" 16 1); fatsz=$(le "$f" 36 4)
  out=$(mktemp "$RUNS/compact.XXXXXX")
  slice "$f" 0 $((rsvd * bps)) >"$out"
  for ((i = 0; i < nfat; i++)); do slice "$f" $(((rsvd + i * fatsz) * bps)) $((keep * bps)) >>"$out"; done
  slice "$f" $(((rsvd + nfat * fatsz) * bps)) $((len - (rsvd + nfat * keep) * bps)) >>"$out"
  put_le32 "$out" 36 "$keep"
  cat "$out"
  rm -f "$out"
}

seeds_fuzz_recognisers() {
  for n in "${ALL[@]}"; do slice "$(img "$n")" 0 "$MAX_LEN" >"$1/${n//\//_}"; done
}
seeds_fuzz_partition_table() {
  for n in "${DISKS[@]}" "${NTFS[@]}" "${FAT32[@]:0:1}"; do slice "$(img "$n")" 0 "$MAX_LEN" >"$1/${n//\//_}"; done
}
seeds_fuzz_raw_scan() {
  local carve
  for n in "${DISKS[@]}" "${NTFS[@]}" "${FAT16[@]}"; do slice "$(img "$n")" 0 "$MAX_LEN" >"$1/${n//\//_}"; done
  for n in "${FAT32[@]}"; do fat32_compact "$(img "$n")" "$MAX_LEN" >"$1/${n//\//_}"; done
  carve=$(img carve/carve-disk)
  for s in 2048 3584 4096 5632 6144 8192 20477 34816 43008; do slice "$carve" $((s * 512)) "$MAX_LEN" >"$1/carve-$s"; done
}
seeds_fuzz_carving() {
  local carve
  carve=$(img carve/carve-disk)
  while IFS=$'\t' read -r start _; do
    if [[ $start =~ ^[0-9]+$ ]]; then slice "$carve" $((start * 512)) "$MAX_LEN" >"$1/carve-$start"; fi
  done <"$FIXTURES/carve/carve-disk.files.tsv"
}
# The first byte picks FAT32 (1), walk (2), known directory sectors (8), a
# rebuilt geometry (16) and failing sectors (32); the volume follows.
seeds_fuzz_fat_reader() {
  local f
  for n in "${FAT16[@]}"; do
    f=$(img "$n")
    for how in 2 0 10 34; do { byte "$how"; slice "$f" 0 $((MAX_LEN - 1)); } >"$1/${n//\//_}-$how"; done
  done
  for n in "${FAT32[@]}"; do
    f=$(img "$n")
    for how in 3 1 9 19 35; do { byte "$how"; fat32_compact "$f" $((MAX_LEN - 1)); } >"$1/${n//\//_}-$how"; done
  done
}
# Bytes 0-9 (FAT32 or FAT16, first cluster, length, unreadable FAT sectors)
# lie over the first FAT entries; the rest is the FAT and the volume.
seeds_fuzz_fat_extract() {
  local f at bps out fat32
  for n in "${FAT16[@]}" "${FAT32[@]}"; do
    f=$(img "$n"); bps=$(le "$f" 11 2); at=$(($(le "$f" 14 2) * bps))
    fat32=0
    if [[ $n == *fat32* ]]; then fat32=1; fi
    for first in 3 5 9; do
      out="$1/${n//\//_}-$first"
      slice "$f" "$at" "$MAX_LEN" >"$out"
      byte "$fat32" | dd of="$out" bs=1 conv=notrunc status=none
      put_le32 "$out" 1 "$first"
      put_le32 "$out" 5 $((first * 70000))
      printf '\0' | dd of="$out" bs=1 seek=9 conv=notrunc status=none
    done
  done
}
seeds_fuzz_ntfs_walk() {
  for n in "${NTFS[@]}"; do slice "$(img "$n")" 0 "$MAX_LEN" >"$1/${n//\//_}"; done
}
# The volume's start, and its boot sector followed by MFT records of the files.
seeds_fuzz_ntfs_search() {
  local f mft rec bps
  seeds_fuzz_ntfs_walk "$1"
  for n in "${NTFS[@]}"; do
    f=$(img "$n"); mft=$(mft_offset "$f"); rec=$(mft_record_bytes "$f"); bps=$(le "$f" 11 2)
    { slice "$f" 0 "$bps"; slice "$f" $((mft + 64 * rec)) $((MAX_LEN - bps)); } >"$1/${n//\//_}-files"
  done
}
# Four records at a time (extension records are looked up among them).
seeds_fuzz_ntfs_record() {
  local f mft rec
  for n in "${NTFS[@]}"; do
    f=$(img "$n"); mft=$(mft_offset "$f"); rec=$(mft_record_bytes "$f")
    for first in 0 4 8 12 64 100 200 400; do slice "$f" $((mft + first * rec)) $((4 * rec)) >"$1/${n//\//_}-$first"; done
  done
}
# One 1 KiB record, then the volume its runs point into (from its first byte,
# which also picks compression).
seeds_fuzz_ntfs_extract() {
  local f mft
  for n in ntfs/ntfs-tree volumes/ntfs-p0; do
    f=$(img "$n"); mft=$(mft_offset "$f")
    for r in 0 1 2 64 66 70 100 200 410; do
      { slice "$f" $((mft + r * 1024)) 1024; slice "$f" 0 $((MAX_LEN - 1024)); } >"$1/${n//\//_}-$r"
    done
  done
}
seeds_fuzz_lznt1() {
  for f in "$FIXTURES"/lznt1/*.lznt1.gz; do gzip -dc "$f" | head -c "$MAX_LEN" >"$1/$(basename "$f" .gz)"; done
}
# Backups as the tools write them: sector copies of a disk, then the trailer.
seeds_fuzz_ptable_backup() {
  local f
  f=$(img ptables/mbr-ext)
  { slice "$f" 0 512; slice "$f" 1048576 512; printf '0^1048576^/dev/sdb^ATADisk01.0'; } >"$1/two-blocks"
  { slice "$f" 0 512; printf '0^mbr-ext.img^mbr-ext.img'; } >"$1/one-block"
  printf '^^' >"$1/empty-fields"
}
# A result file with one of everything (CR LF), and the same with LF only.
seeds_fuzz_scan_result() {
  local lines=(disk.img 2 10 20 1 30,4 1 "40,100,a,b.jpg" 0 0 "" "" 0 0 0 0 0 0 0
    -----partition----- "" 0 LABEL "" p0 "" 900 63 1 8 0 7 512 2 1 128
    0 "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16," /dev/sdb 63 1000
    -----Logical_Volumes----- 1 a b c 4096 1 d -----Segment----- 0 2 striped 1 pv0 34)
  printf '%s\r\n' "${lines[@]}" >"$1/one-of-each"
  printf '%s\n' "${lines[@]}" >"$1/one-of-each-lf"
}
# The physical volume's 32-character id, then the metadata text of the
# fixture's volume group (its latest copy, read through the area header).
seeds_fuzz_lvm_metadata() {
  local f area off len
  f=$(img lvm/lvm-pv)
  area=$(le "$f" $((512 + 0x68)) 8)
  off=$(le "$f" $((area + 0x28)) 8)
  len=$(le "$f" $((area + 0x30)) 8)
  { slice "$f" $((512 + 0x20)) 32; slice "$f" $((area + off)) "$len"; } >"$1/lvm-pv"
  { slice "$f" $((512 + 0x20)) 32; slice "$f" $((area + 512)) $((MAX_LEN - 32)); } >"$1/lvm-pv-ring"
}
# Dynamic-disk databases of the shared corpus: from the VMDB header on (the
# configuration starts at sector 100,352 on the MBR disks there).
seeds_fuzz_ldm_vblk() {
  local f n=0
  for f in "$ROOT"/../shared/corpus/ldm/*-1.img.gz; do
    [[ -f $f ]] || continue
    # dd stops reading once it has its bytes; gzip then dies of SIGPIPE,
    # which is not a failure here.
    { gzip -dc "$f" || true; } | dd iflag=skip_bytes,count_bytes skip=$(((100352 + 17) * 512)) count="$MAX_LEN" \
      status=none >"$1/db-$n"
    n=$((n + 1))
  done
  printf 'VBLK' >"$1/tiny"
}
# Folders of the exFAT fixture as the parser reads them: the root folder's
# cluster (bitmap, up-case table, label, sets) and the start of the folder of
# 10,000 entries (cluster 72).
seeds_fuzz_exfat_directory() {
  local f heap cluster root
  f=$(img exfat/exfat-basic)
  heap=$(($(le "$f" 88 4) << $(le "$f" 108 1)))
  cluster=$((1 << ($(le "$f" 108 1) + $(le "$f" 109 1))))
  root=$(le "$f" 96 4)
  slice "$f" $((heap + (root - 2) * cluster)) "$cluster" >"$1/exfat-root"
  slice "$f" $((heap + 70 * cluster)) "$MAX_LEN" >"$1/exfat-many"
}
put_be() {  # put_be FILE OFFSET BYTES VALUE: a big-endian field
  local s="" i
  for ((i = $3 - 1; i >= 0; i--)); do s+=$(printf '\\x%02x' $(($4 >> (8 * i) & 255))); done
  printf "$s" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
put_text() { printf '%s' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }  # put_text FILE OFFSET TEXT
corpus_slice() {  # corpus_slice FILE.gz OFFSET LENGTH: bytes of a gzipped image of the shared corpus
  # dd stops reading once it has its bytes; gzip then dies of SIGPIPE, which
  # is not a failure here.
  { gzip -dc "$1" || true; } | dd iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none
}
CORPUS="$ROOT/../shared/corpus"

# Found volumes of every kind (striped, spanned, RAID-5, mirrored), with a
# member whose disk is missing, and after the end mark the member disk's
# bytes: a FAT16 volume, so that a spanned volume of one member probes as one.
seeds_fuzz_scan_volumes() {
  local disk member kind name stripe
  disk=$(img volumes/fat16-512)
  head_lines() { printf '%s\r\n' fuzz.img 0 0 0 0 0 "" "" 0 0 0 0 0 0 0; }
  part() {  # part NAME KIND STRIPE SECTORS: a partition record without members
    printf '%s\r\n' -----partition----- "" 0 LABEL "" "$1" "" "$4" 0 1 4 0 6 512 2 "$2" "$3"
  }
  member() {  # member ORDINAL PATH START COUNT
    printf '%s\r\n' "$1" "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16," "$2" "$3" "$4"
  }
  for kind in 1 2 3 4; do
    for stripe in 8 128; do
      name="volume-$kind-$stripe"
      {
        head_lines
        case $kind in
          2) part "$name" 2 "$stripe" 100; member 0 /dev/sdb 0 60; member 1 /dev/sdb 60 40 ;;
          4) part "$name" 4 "$stripe" 100; member 0 "" 0 100; member 1 /dev/sdb 0 100 ;;
          3) part "$name" 3 "$stripe" 200; member 0 /dev/sdb 0 100; member 1 "" 0 100; member 2 /dev/sdb 16 100 ;;
          *) part "$name" 1 "$stripe" 200; member 0 /dev/sdb 0 100; member 1 /dev/sdb 100 100 ;;
        esac
        printf '%s\r\n' -----checkpoint-----
        slice "$disk" 0 $((MAX_LEN - 1024))
      } >"$1/$name"
    done
  done
  { head_lines; part whole 2 128 120; member 0 /dev/sdb 0 120; printf '%s\r\n' -----checkpoint-----; slice "$disk" 0 $((MAX_LEN - 512)); } >"$1/spanned-whole"
}
# Maps as we write them and as GNU ddrescue does (its comments, a pass
# number, every state, decimal and octal numbers).
seeds_fuzz_mapfile() {
  printf '# Mapfile. Created by orvaldi image\n# current_pos  current_status  current_pass\n0x00100000     +               1\n#      pos        size  status\n0x00000000  0x00100000  +\n' >"$1/ours-done"
  printf '# Mapfile. Created by GNU ddrescue\n# Command line: ddrescue -d /dev/sdb img map\n# Start time:   2026-01-01 10:00:00\n# current_pos  current_status  current_pass\n0x00018000     *               2\n#      pos        size  status\n0x00000000  0x00010000  +\n0x00010000  0x00000200  -\n0x00010200  0x00007E00  *\n0x00018000  0x00001000  /\n0x00019000  0x00100000  ?\n0x00119000  0x00002000  +\n' >"$1/ddrescue-states"
  printf '0 ?\n0 1048576 ?\n' >"$1/bare-decimal"
  printf '01000 - 3\n0 01000 +\n01000 512 -\n01200 0x10000 +\n' >"$1/octal"
}
# Folders as they lie on the volumes: FAT16 root folders, FAT32 data areas
# from the root cluster on, and the long names (live and deleted, a deleted
# folder among them) of the names disk's FAT32 volume.
seeds_fuzz_fat_directory() {
  local f bps rsvd nfat fatsz spc root
  dirs_of() {  # dirs_of IMAGE OFFSET NAME: the folder bytes of the FAT volume at OFFSET
    local f=$1 at=$2
    bps=$(le "$f" $((at + 11)) 2); spc=$(le "$f" $((at + 13)) 1); rsvd=$(le "$f" $((at + 14)) 2)
    nfat=$(le "$f" $((at + 16)) 1); fatsz=$(le "$f" $((at + 22)) 2)
    if ((fatsz == 0)); then
      fatsz=$(le "$f" $((at + 36)) 4); root=$(le "$f" $((at + 44)) 4)
      slice "$f" $((at + (rsvd + nfat * fatsz + (root - 2) * spc) * bps)) "$MAX_LEN" >"$3"
    else
      slice "$f" $((at + (rsvd + nfat * fatsz) * bps)) "$MAX_LEN" >"$3"
    fi
  }
  for n in "${FAT16[@]}" "${FAT32[@]}"; do dirs_of "$(img "$n")" 0 "$1/${n//\//_}"; done
  f=$(img names/names-disk)
  dirs_of "$f" $((2048 * 512)) "$1/names-disk"
}
# Tables of the fixtures and of the shared corpus, from their second logical
# sector on, as the main header and as the backup, on 512- and 4,096-byte
# sectors.
seeds_fuzz_gpt() {
  local f how lba base
  for n in ptables/gpt ptables/gpt-gap sectors4k/gpt4k; do
    f=$(img "$n")
    lba=512
    if [[ $n == *4k* ]]; then lba=4096; fi
    for how in 0 2 4; do
      { byte $((how | (lba == 4096))); slice "$f" "$lba" $((MAX_LEN - 1)); } >"$1/${n//\//_}-$how"
    done
  done
  for f in "$CORPUS"/ptable/*gpt*.gz; do
    [[ -f $f ]] || continue
    lba=512
    if [[ $f == *4k* ]]; then lba=4096; fi
    base=$(basename "$f" .gz)
    { byte $((lba == 4096)); corpus_slice "$f" "$lba" $((MAX_LEN - 1)); } >"$1/$base"
  done
}
# A map with an HFS entry before the fixture's HFS volume (on 512- and
# 4,096-byte blocks), an entry of another kind and one without a name; and
# the corpus's header-only map.
seeds_fuzz_apple_map() {
  local hfs out bs at i
  hfs=$(img volumes/hfs)
  for bs in 512 4096; do
    out="$1/apm-$bs"
    head -c $((8 * bs)) /dev/zero >"$out"
    put_text "$out" 0 ER; put_be "$out" 2 2 "$bs"; put_be "$out" 4 4 $((MAX_LEN / bs))
    i=0
    for entry in "Apple:Apple_partition_map:1:4" "Macintosh HD:Apple_HFS:8:64" "Windows:Windows_NTFS:72:8" \
      ":Apple_HFS:80:8"; do
      at=$(((1 + i) * bs))
      IFS=: read -r name type start count <<<"$entry"
      put_text "$out" "$at" PM; put_be "$out" $((at + 4)) 4 4
      put_be "$out" $((at + 8)) 4 "$start"; put_be "$out" $((at + 12)) 4 "$count"
      put_text "$out" $((at + 0x10)) "$name"; put_text "$out" $((at + 0x30)) "$type"
      i=$((i + 1))
    done
    slice "$hfs" 0 $((MAX_LEN - 8 * bs)) >>"$out"
  done
  if [[ -f $CORPUS/ptable/dissect-apm-ntfs.bin.gz ]]; then gzip -dc "$CORPUS/ptable/dissect-apm-ntfs.bin.gz" >"$1/dissect-apm-ntfs"; fi
}
seeds_default() {  # a target this script does not know yet: the start of every fixture
  seeds_fuzz_recognisers "$1"
}

# ------------------------------------------------------------------ runs
corpus_of() {  # the corpus directory of target $1: kept across runs when FUZZ_CORPUS_DIR is set
  if [[ -n $CORPORA ]]; then printf '%s\n' "$CORPORA/$1"; else printf '%s\n' "$RUNS/$1/corpus"; fi
}
run_target() {
  local t=$1 dir="$RUNS/$1" rc=0
  cut -d' ' -f1 /proc/loadavg >"$dir/load-before"
  date -u +%Y-%m-%dT%H:%MZ >"$dir/started"
  "$BUILD/fuzz/$t" "$(corpus_of "$t")" "$dir/seeds" -max_total_time="$SECONDS_PER_TARGET" \
    -max_len="$MAX_LEN" -malloc_limit_mb="$MALLOC_LIMIT_MB" -rss_limit_mb="$RSS_LIMIT_MB" -timeout=20 \
    -artifact_prefix="$dir/" -print_final_stats=1 >"$dir/log" 2>&1 || rc=$?
  cut -d' ' -f1 /proc/loadavg >"$dir/load-after"
  echo "$rc" >"$dir/status"
}

for t in "${TARGETS[@]}"; do
  mkdir -p "$RUNS/$t/seeds" "$(corpus_of "$t")"
  if declare -F "seeds_$t" >/dev/null; then "seeds_$t" "$RUNS/$t/seeds"; else seeds_default "$RUNS/$t/seeds"; fi
done
rm -rf "$IMAGES"

echo "fuzz: ${#TARGETS[@]} targets, ${SECONDS_PER_TARGET} s each, $JOBS at a time, allocations up to ${MALLOC_LIMIT_MB} MiB" >&2
for t in "${TARGETS[@]}"; do
  while (($(jobs -rp | wc -l) >= JOBS)); do wait -n || true; done
  run_target "$t" &
done
wait

stat_of() {  # stat_of LOG NAME: a figure -print_final_stats printed, or "-"
  local v
  v=$(grep -a -m1 "^stat::$2:" "$1" | awk '{print $2}' || true)
  printf '%s\n' "${v:--}"
}
status_field() {  # status_field LINE KEY: the word after "KEY:" in a status line, or "-"
  local v
  v=$(grep -o "$2: [^ ]*" <<<"$1" | head -n1 | cut -d' ' -f2 || true)
  printf '%s\n' "${v:--}"
}

# One row per target: what the run did, from libFuzzer's final figures and
# its last status line, for the docs to quote.
mkdir -p "$(dirname "$SUMMARY")"
printf 'target\tstarted\tseconds\tstatus\tseeds\texecutions\texec_per_s\tcov\tft\tcorpus_units\tcorpus_bytes\tcorpus_files\tnew_units\tpeak_rss_mb\tload_before\tload_after\n' >"$SUMMARY"
failed=0
for t in "${TARGETS[@]}"; do
  dir="$RUNS/$t"
  rc=$(cat "$dir/status")
  seeds=$(find "$dir/seeds" -type f | wc -l)
  done_line=$(grep -a -m1 'DONE' "$dir/log" | sed 's/^#[0-9]*[[:space:]]*//' || true)
  last=$(grep -a ' cov: ' "$dir/log" | tail -n1 || true)
  corp=$(status_field "$last" corp)
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$t" "$(cat "$dir/started")" \
    "$SECONDS_PER_TARGET" "$(if [[ $rc == 0 ]]; then echo ok; else echo "failed($rc)"; fi)" "$seeds" \
    "$(stat_of "$dir/log" number_of_executed_units)" "$(stat_of "$dir/log" average_exec_per_sec)" \
    "$(status_field "$last" cov)" "$(status_field "$last" ft)" "${corp%%/*}" "$(if [[ $corp == */* ]]; then echo "${corp#*/}"; else echo -; fi)" \
    "$(find "$(corpus_of "$t")" -type f | wc -l)" "$(stat_of "$dir/log" new_units_added)" \
    "$(stat_of "$dir/log" peak_rss_mb)" "$(cat "$dir/load-before")" "$(cat "$dir/load-after")" >>"$SUMMARY"
  if [[ $rc == 0 ]]; then
    echo "fuzz: $t ok ($seeds seeds; ${done_line:-no summary})" >&2
    continue
  fi
  failed=1
  echo "fuzz: $t FAILED (exit $rc); log $dir/log" >&2
  tail -n 40 "$dir/log" >&2
  for a in "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-*; do
    if [[ -e $a ]]; then echo "fuzz: reproducer: $a (run: $BUILD/fuzz/$t $a)" >&2; fi
  done
done
echo "fuzz: figures in $SUMMARY" >&2
exit "$failed"
