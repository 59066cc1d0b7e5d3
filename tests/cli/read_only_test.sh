#!/usr/bin/env bash
# The source is never written: every command `orvaldi --help` lists runs on
# fixture images, and every option that writes a file is aimed in turn at the
# source itself, a hard link to it, ./ and ../ paths to it from other folders,
# a symbolic link to it, and the name a whole-file replacement writes first.
# After each run every image it read has the SHA-256 and mtime of before, a
# target that is the source is refused with exit code 5, a target elsewhere
# is written, and the platform's read-only check (ORVALDI_CHECK_READ_ONLY=1)
# never aborted. The partition-table tools write a copy, and only when told.
# Usage: read_only_test.sh ORVALDI FIXTURES_DIR [CORPUS_DIR]
set -uo pipefail

ORV=$(realpath "${1:?usage: read_only_test.sh ORVALDI FIXTURES_DIR [CORPUS_DIR]}")
FIX=${2:?usage: read_only_test.sh ORVALDI FIXTURES_DIR [CORPUS_DIR]}
CORPUS=${3:-}
W=$(mktemp -d "${TMPDIR:-/tmp}/orvaldi-read-only.XXXXXX")
trap 'rm -rf "$W"' EXIT
export ORVALDI_CHECK_READ_ONLY=1

failures=0
runs=0
# SOURCE_OF: the SOURCE argument for an image ("@" its own path), READS: the
# images a run on it reads; a member of a disk group is named with the others.
declare -A SHA MTIME COVERED SOURCE_OF READS
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

mkdir -p "$W/src/sub" "$W/links" "$W/out"
# Each run hashes what it read: OpenSSL's SHA-256 uses the processor's SHA
# instructions, some five times the speed of coreutils' here.
if command -v openssl >/dev/null; then
  sha256() { openssl dgst -sha256 <"$1"; }
else
  sha256() { sha256sum <"$1"; }
fi
# The images, each with its other names: a hard link, a symbolic link, and a
# hard link named as the temporary file a replacement of "$W/links/NAME"
# writes first ("NAME.new").
IMAGES=()
adopt() {  # adopt NAME: $W/src/NAME is one of the images
  local name=$1
  ln "$W/src/$name" "$W/links/$name-hard"
  ln -s "$W/src/$name" "$W/links/$name-sym"
  ln "$W/src/$name" "$W/links/$name.new"
  SHA[$name]=$(sha256 "$W/src/$name")
  MTIME[$name]=$(stat -c %y "$W/src/$name")
  IMAGES+=("$name")
}
unpack() {  # unpack NAME FIXTURE
  if gzip -dc "$2" >"$W/src/$1"; then adopt "$1"; else fail "cannot unpack $2"; fi
}
unpack fat.img "$FIX/fat/fat16-512.img.gz"
unpack ntfs.img "$FIX/ntfs/ntfs-small-records.img.gz"
unpack exfat.img "$FIX/volumes/exfat.img.gz"
# A small partitioned disk: an MBR, an NTFS volume made for sector 2048 and a
# FAT16 one behind it.
{
  truncate -s 17M "$W/src/disk.img" &&
    printf 'label: dos\nunit: sectors\n\nstart=2048, size=16384, type=7\nstart=18432, size=16384, type=6\n' |
    sfdisk -q "$W/src/disk.img" &&
    gzip -dc "$FIX/volumes/ntfs-p2048.img.gz" | dd of="$W/src/disk.img" bs=512 seek=2048 conv=notrunc status=none &&
    gzip -dc "$FIX/volumes/fat16-512.img.gz" | dd of="$W/src/disk.img" bs=512 seek=18432 conv=notrunc status=none &&
    adopt disk.img
} || fail "cannot make the partitioned disk"
unpack lvm.img "$FIX/lvm/lvm-pv.img.gz"
LDM=""
LDM_DIR="$CORPUS/ldm"
if [ -n "$CORPUS" ] && [ -e "$LDM_DIR/libldm-ldm-2003r2-spanned-1.img.gz" ]; then
  unpack ldm1.img "$LDM_DIR/libldm-ldm-2003r2-spanned-1.img.gz"
  unpack ldm2.img "$LDM_DIR/libldm-ldm-2003r2-spanned-2.img.gz"
  LDM="$W/src/ldm1.img,$W/src/ldm2.img"
  SOURCE_OF[ldm2.img]="$W/src/ldm1.img,@"
  READS[ldm2.img]="ldm1.img ldm2.img"
fi

unchanged() {  # unchanged WHAT IMAGE...: each image as it was unpacked
  local what=$1 name
  shift
  for name; do
    [ -e "$W/src/$name" ] || {
      fail "$W/src/$name is gone after $what"
      continue
    }
    [ "$(sha256 "$W/src/$name")" = "${SHA[$name]}" ] || fail "$name changed by $what"
    [ "$(stat -c %y "$W/src/$name")" = "${MTIME[$name]}" ] || fail "$name: mtime changed by $what"
    [ -e "$W/links/$name.new" ] || fail "$W/links/$name.new (a name of $name) was removed by $what"
  done
}

# run EXPECTED CWD IMAGES -- ARGS...: orvaldi ARGS in folder CWD must end with
# exit code EXPECTED without tripping the read-only check, and leave the
# images (a space-separated list) as they were.
run() {
  local expect=$1 cwd=$2 images=$3
  shift 4
  runs=$((runs + 1))
  COVERED[$1]=1
  [ "$1" = ptable ] && COVERED["ptable $2"]=1
  local rc=0
  (cd "$cwd" && timeout 60 "$ORV" "$@") >"$W/stdout" 2>"$W/stderr" </dev/null || rc=$?
  local what="'orvaldi $*' (in $cwd)"
  if [ "$rc" -eq 134 ] || grep -q "read-only check" "$W/stderr"; then
    fail "$what aborted: $(grep -m1 "read-only check" "$W/stderr")"
  elif [ "$rc" -ne "$expect" ]; then
    fail "$what: exit code $rc, expected $expect: $(head -c 300 "$W/stderr")"
  fi
  # shellcheck disable=SC2086
  unchanged "$what" $images
}

# aimed IMAGE EXPECT-ELSEWHERE ARGS...: ARGS with TARGET replaced, once by a
# new path in a folder of its own (expected exit code EXPECT-ELSEWHERE), then
# by each name of IMAGE (refused: 5); SOURCE stands for the source. For the
# last name the source is named as the temporary file a replacement of the
# target writes first.
aimed() {
  local name=$1 elsewhere=$2
  shift 2
  [[ "$*" == *${ONLY:-}* ]] || return 0  # by hand: ONLY=TEXT runs the cases that hold TEXT
  local template=${SOURCE_OF[$name]:-@} reads=${READS[$name]:-$name}
  local src=${template//@/$W/src/$name} beside=${template//@/$W/links/$name.new}
  local fresh="$W/out/$runs"
  mkdir -p "$fresh"
  # A disk target must exist: a new one is made the size of the source.
  [[ " $* " == *" --to-disk "* ]] && truncate -s "$(stat -c %s "$W/src/$name")" "$fresh/target"
  local -a args=("${@//SOURCE/$src}")
  run "$elsewhere" "$W" "$reads" -- "${args[@]//TARGET/$fresh/target}"
  local aim cwd target side
  for aim in "$W|$W/src/$name" "$W|$W/links/$name-hard" "$W/src|./$name" "$W/src/sub|../$name" \
    "$W|$W/links/$name-sym" "$W|$W/links/$name|beside"; do
    IFS='|' read -r cwd target side <<<"$aim"
    if [ -n "$side" ]; then args=("${@//SOURCE/$beside}"); else args=("${@//SOURCE/$src}"); fi
    run 5 "$cwd" "$reads" -- "${args[@]//TARGET/$target}"
    rm -rf "${W:?}/links/$name"
  done
  # What was aimed: the command (with its tool for ptable) and the option.
  local command=$1 option=FILE a
  [ "$1" = ptable ] && command="$1 $2"
  for a; do
    [[ "$a" == --* ]] && option=$a
    [ "$a" = TARGET ] && break
  done
  COVERED["$command $option"]=1
}

# --- Options that write files, each aimed at the source --------------------
# The FAT volume: trees, scan results, checkpoints, images, maps, free space,
# recovered and carved files.
aimed fat.img 0 ls SOURCE 0 --save-tree TARGET
aimed fat.img 0 find SOURCE 0 --ext txt --save-tree TARGET
aimed fat.img 0 cat SOURCE 0 根目录/DOCS/INDEX.TXT --save-tree TARGET
aimed fat.img 0 recover SOURCE 0 --no-deleted --to TARGET
aimed fat.img 0 recover SOURCE 0 --no-deleted --to "$W/out/r$runs" --save-tree TARGET
aimed fat.img 0 image SOURCE --to TARGET
aimed fat.img 0 image SOURCE --to-disk TARGET --yes
aimed fat.img 0 image SOURCE --to "$W/out/i$runs" --mapfile TARGET
aimed fat.img 0 image SOURCE 0 --to TARGET --start 8
aimed fat.img 0 freespace SOURCE 0 --to TARGET
aimed fat.img 0 freespace SOURCE 0 --to TARGET --layout
aimed fat.img 0 rawscan SOURCE --save-result TARGET
aimed fat.img 0 rawscan SOURCE --checkpoint TARGET
aimed fat.img 0 carve SOURCE --to TARGET
aimed fat.img 0 carve SOURCE --to "$W/out/c$runs" --checkpoint TARGET
aimed fat.img 0 find-parts SOURCE --save-result TARGET
aimed fat.img 0 find-parts SOURCE --mode sector --checkpoint TARGET
# NTFS: the deep search's checkpoint, and the other writers once more.
aimed ntfs.img 0 ls SOURCE 0 --mode deep --checkpoint TARGET
aimed ntfs.img 0 recover SOURCE 0 --mode deep --to "$W/out/n$runs" --checkpoint TARGET
aimed ntfs.img 0 recover SOURCE 0 --to TARGET
aimed ntfs.img 0 freespace SOURCE 0 --to TARGET
aimed ntfs.img 0 ls SOURCE 0 --save-tree TARGET
# exFAT.
aimed exfat.img 0 ls SOURCE 0 --save-tree TARGET
aimed exfat.img 0 recover SOURCE 0 --to TARGET
aimed exfat.img 0 freespace SOURCE 0 --to TARGET
# The partitioned disk: a partition's copy and free space, the table's backup.
aimed disk.img 0 ptable backup SOURCE TARGET
aimed disk.img 0 image SOURCE 1 --to TARGET
aimed disk.img 0 freespace SOURCE 0 --to TARGET
aimed disk.img 0 rawscan SOURCE --part 1 --save-result TARGET
aimed disk.img 0 recover SOURCE 1 --to TARGET
# LVM: a logical volume's files.
aimed lvm.img 0 ls SOURCE data --save-tree TARGET
aimed lvm.img 0 rawscan SOURCE --save-result TARGET
# The rescue map is written beside itself first too, as MAP.tmp.
ln "$W/src/fat.img" "$W/links/map.tmp"
run 5 "$W" fat.img -- image "$W/links/map.tmp" --to "$W/out/map-image" --mapfile "$W/links/map"
[ -e "$W/links/map.tmp" ] || fail "image --mapfile removed $W/links/map.tmp, a name of its source"
if [ -n "$LDM" ]; then
  # A dynamic disk group: a target that is its second member.
  aimed ldm2.img 0 ls SOURCE 0 --save-tree TARGET
  # A volume of the group swept through its mapping.
  aimed ldm2.img 0 rawscan SOURCE --part 0 --save-result TARGET
fi

# --- Every command once on each image, reading only -------------------------
for name in "${IMAGES[@]}"; do
  [ "$name" = ldm2.img ] && continue
  src="$W/src/$name" part=0 expect=0
  [ "$name" = ldm1.img ] && src=$LDM
  out="$W/out/$name"
  mkdir -p "$out"
  for command in "info SRC" "parts SRC" "region SRC 0 2048" "hex SRC --sector 0 --count 2" "find-parts SRC" \
    "rawscan SRC" "ls SRC PART" "find SRC PART --ext txt" "ptable rebuild SRC"; do
    # A dynamic group has no sectors of its own: the whole-disk tools refuse
    # it (usage), so the group runs only what takes it, and one of those.
    code=0
    if [ "$name" = ldm1.img ]; then
      [[ "$command" == hex* || "$command" == find-parts* || "$command" == ptable* || "$command" == rawscan* ]] &&
        continue
      [[ "$command" == region* ]] && code=2
    fi
    # shellcheck disable=SC2086
    set -- ${command//SRC/$src}
    run "$code" "$W" "${READS[$name]:-$name}" -- "${@//PART/$part}"
  done
done
run 0 "$W" "" -- disks
# verify reads a recovery's manifest, no source.
run 0 "$W" fat.img -- recover "$W/src/fat.img" 0 --no-deleted --to "$W/out/verified"
run 0 "$W" fat.img -- verify "$W/out/verified"

# --- The partition-table tools write a copy, and only when told -------------
cp "$W/src/disk.img" "$W/copy.img"
copy_sha() { sha256 "$W/copy.img"; }
before=$(copy_sha)
run 0 "$W" "" -- ptable backup "$W/copy.img" "$W/out/table.bak"
dd if=/dev/zero of="$W/copy.img" bs=1 seek=446 count=64 conv=notrunc status=none  # the MBR's entries gone
wiped=$(copy_sha)
run 2 "$W" "" -- ptable restore "$W/copy.img" "$W/out/table.bak"
[ "$(copy_sha)" = "$wiped" ] || fail "ptable restore wrote without --yes"
run 0 "$W" "" -- ptable restore "$W/copy.img" "$W/out/table.bak" --yes
[ "$(copy_sha)" = "$before" ] || fail "ptable restore --yes did not bring the table back"
run 2 "$W" "" -- ptable rebuild "$W/copy.img" --use 2
[ "$(copy_sha)" = "$before" ] || fail "ptable rebuild wrote without --yes"
run 0 "$W" "" -- ptable rebuild "$W/copy.img" --use 2 --yes
[ "$(copy_sha)" != "$before" ] || fail "ptable rebuild --yes did not write sector 0"

# --- Every command of --help has its case, every writing option its aim -----
[ -n "${ONLY:-}" ] && exit $((failures != 0))
listed() {  # the subcommands a --help lists
  "$ORV" "$@" --help | awk '/^Subcommands:/ { on = 1; next } on && /^[^ ]/ { on = 0 } on && NF { print $1 }'
}
mapfile -t commands < <(listed)
[ "${#commands[@]}" -gt 10 ] || fail "orvaldi --help lists ${#commands[@]} commands"
for command in "${commands[@]}"; do
  all=("$command")
  if [ "$command" = ptable ]; then
    mapfile -t tools < <(listed ptable)
    all=("${tools[@]/#/ptable }")
  fi
  for c in "${all[@]}"; do
    [ -n "${COVERED[$c]:-}" ] || fail "command '$c' (from orvaldi --help) has no case here"
    # shellcheck disable=SC2086
    for option in $("$ORV" $c --help | grep -oE -- '^ +--(save-result|save-tree|checkpoint|to|to-disk)( |$)' | sort -u); do
      [ -n "${COVERED["$c $option"]:-}" ] || fail "'orvaldi $c $option' writes a file but is never aimed at the source"
    done
  done
done
[ -n "${COVERED["image --mapfile"]:-}" ] || fail "'orvaldi image --mapfile' is never aimed at the source"
[ -n "${COVERED["ptable backup FILE"]:-}" ] || fail "'orvaldi ptable backup FILE' is never aimed at the source"

echo "read-only: $runs runs, $failures failures" >&2
[ "$failures" -eq 0 ]
