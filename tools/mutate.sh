#!/usr/bin/env bash
# Runs every orvaldi command on damaged copies of the test fixtures (and of the files the
# commands save: scan results, partition-table backups, saved trees, mapfiles, manifests)
# and fails on a crash, a hang, an exit code that is not a documented one (or the internal
# error, which is a bug by its own definition), a peak RSS over the limit, a sanitizer report,
# or a file written outside the command's target folder (the source included).
#
# Usage: tools/mutate.sh [--seed N] [--rounds M] [--stride K] [--case NAME] [--mutation-seed S]
#                        [--build DIR] [--work DIR] [--failures DIR] [--timeout SEC] [--rss-mib MIB]
#                        [--sanitized]
#   --seed N --rounds M   round r damages case r*STRIDE mod (number of cases) with mutation seed
#                         N*1000003+r (default: one round per case; --stride 2: every other case)
#   --case NAME --mutation-seed S   replays one damaged copy (as a failure report prints it)
#   --sanitized           the commands are built with ASan/UBSan: no address-space limit, four
#                         times the RSS limit (the sanitizers' own memory), three times the time
#                         limit, and their reports fail
# WORK (default: a new folder in /dev/shm, removed at the end) holds the pristine and damaged
# copies and the targets: on tmpfs a recovery of thousands of small files takes a fraction of a
# second rather than many on a busy disk, so the time limit measures the command, not the disk.
# Every failure keeps the damaged file, the mutation and the command lines in FAILURES (default
# BUILD/mutate-failures).
# tests/fixtures/mutate_findings.txt lists the replays of past findings; they run first.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SEED=1 ROUNDS="" STRIDE=1 ONLY_CASE="" ONLY_SEED="" TIMEOUT=20 RSS_MIB=512 SANITIZED=0
BUILD="$ROOT/build" WORK="" FAILURES=""
while (($#)); do
  case $1 in
    --seed) SEED=$2; shift 2 ;;
    --rounds) ROUNDS=$2; shift 2 ;;
    --stride) STRIDE=$2; shift 2 ;;
    --case) ONLY_CASE=$2; shift 2 ;;
    --mutation-seed) ONLY_SEED=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    --failures) FAILURES=$2; shift 2 ;;
    --timeout) TIMEOUT=$2; shift 2 ;;
    --rss-mib) RSS_MIB=$2; shift 2 ;;
    --sanitized) SANITIZED=1; shift ;;
    *) echo "mutate: unknown option $1 (see the head of $0)" >&2; exit 2 ;;
  esac
done
BUILD=$(realpath "$BUILD")
CLI="$BUILD/src/orvaldi"
MUTATOR="$BUILD/tools/orvaldi-mutate"
for b in "$CLI" "$MUTATOR"; do [[ -x $b ]] || { echo "mutate: $b is not built" >&2; exit 2; }; done
[[ -x /usr/bin/time ]] || "$ROOT/tools/packages.sh" time
if [[ -z $WORK ]]; then
  if [[ -d /dev/shm && -w /dev/shm ]]; then WORK=$(mktemp -d /dev/shm/orvaldi-mutate.XXXXXX); else WORK=$(mktemp -d); fi
  trap 'rm -rf "$WORK"' EXIT
  trap 'exit 130' INT TERM  # so that a stopped run still removes its folder
fi
WORK=$(realpath -m "$WORK")
FAILURES=$(realpath -m "${FAILURES:-$BUILD/mutate-failures}")
FIXTURES="$ROOT/tests/fixtures"
CORPUS="$ROOT/../shared/corpus"
PRISTINE="$WORK/pristine"
rm -rf "$WORK/rounds"
mkdir -p "$PRISTINE" "$WORK/rounds" "$FAILURES"

# The documented exit codes, from the header that documents them; the internal error (a bug)
# and the interruption (nobody interrupts here) are findings all the same.
mapfile -t DOCUMENTED < <(sed -n 's/^ *kExit[A-Za-z]* = \([0-9]*\),.*/\1/p' "$ROOT/src/cli/exit_codes.h")
ACCEPTED=" "
for c in "${DOCUMENTED[@]}"; do [[ $c == 4 || $c == 130 ]] || ACCEPTED+="$c "; done
if ((SANITIZED)); then
  RSS_MIB=$((RSS_MIB * 4))
  TIMEOUT=$((TIMEOUT * 3))  # the sanitizers' checks slow every command down
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
fi
VMEM_KIB=$((4 << 20))  # 4 GiB of address space: a runaway allocation fails fast instead of swapping
FILE_KIB=$((4 << 20))  # no file written past 4 GiB (SIGXFSZ): the largest input is 80 MiB, and tmpfs is memory

# ------------------------------------------------------------------ cases
# NAME KIND INPUT [OPTION...]: INPUT is a fixture (tests/fixtures/X.img.gz), a corpus image
# (corpus:X), or a file saved from a fixture (@result:X, @backup:X, @tree:X, @mapfile:X,
# @manifest:X, @checkpoint:X of a sweep, @deep:X of the deep search). Options: part=N, the partition the commands read (default: the first FAT, NTFS
# or exFAT one); member=NAME, a second member disk, which makes the source the dynamic-disk
# group "damaged,pristine".
CASES=(
  "fat16-boot boot volumes/fat16-512"
  "fat32-boot boot fat/fat32-tree"
  "ntfs-boot boot ntfs/ntfs-tree"
  "exfat-boot boot volumes/exfat"
  "mbr mbr ptables/mbr-ext"
  "ebr-chain ebr ptables/mbr-dos-chain"
  "ebr-volumes ebr ptables/mbr-ext part=2"
  "gpt gpt ptables/gpt-gap"
  "fat16-table fat volumes/fat16-512"
  "fat32-table fat fat/fat32-tree"
  "fat16-dir dir volumes/fat16-512"
  "fat32-dir dir fat/fat32-tree"
  "ntfs-mft mft ntfs/ntfs-tree"
  "ntfs-frag-mft mft ntfs/ntfs-fragments"
  "ntfs-attrlist attrlist ntfs/ntfs-fragments"
  "ntfs-index indx ntfs/ntfs-tree"
  "lvm-label lvm-label lvm/lvm-pv"
  "lvm-text lvm-text lvm/lvm-pv"
  "ldm-headers ldm corpus:ldm/libldm-ldm-2003r2-simple-1 part=1"
  "ldm-vblk vblk corpus:ldm/libldm-ldm-2003r2-simple-1 part=1"
  "ldm-group-vblk vblk corpus:ldm/libldm-ldm-2008r2-spanned-1 part=1 member=corpus:ldm/libldm-ldm-2008r2-spanned-2"
  "cut-gpt truncate ptables/gpt-gap"
  "cut-ntfs truncate ntfs/ntfs-small-records"
  "noise-fat32 noise fat/fat32-tree"
  "fat32-names names fat/fat32-tree"
  "ntfs-names names ntfs/ntfs-tree"
  "scan-result text @result:ptables/mbr-ext"
  "ptable-backup backup @backup:ptables/mbr-ext"
  "tree-fat tree @tree:volumes/fat16-512"
  "tree-ntfs tree @tree:ntfs/ntfs-tree"
  "mapfile text @mapfile:ntfs/ntfs-small-records"
  "manifest text @manifest:volumes/fat16-512"
  "sweep-checkpoint text @checkpoint:fat/fat32-tree"
  "deep-checkpoint text @deep:ntfs/ntfs-small-records"
)

# ------------------------------------------------------------------ pristine inputs

unpack() {  # unpack NAME: the pristine image's path (unpacked once)
  local image_name=$1 name gz
  name=${image_name#corpus:}
  name=${name//\//_}
  if [[ $image_name == corpus:* ]]; then gz="$CORPUS/${image_name#corpus:}.img.gz"; else gz="$FIXTURES/$image_name.img.gz"; fi
  [[ -f $gz ]] || return 1
  [[ -f $PRISTINE/$name.img ]] || gzip -dc "$gz" >"$PRISTINE/$name.img"
  printf '%s\n' "$PRISTINE/$name.img"
}

# The first FAT, NTFS or exFAT partition of a source (its index or, in a group, its name), and
# the first file its listing shows.
first_partition() {
  "$CLI" parts "$1" --json 2>/dev/null | tr -d '\n' | tr '{' '\n' | grep -E '"fs": ?"(FAT16|FAT32|NTFS|exFAT)"' | head -n1 |
    sed -E 's/.*"index": ?([0-9]+).*/\1/'
}
first_file() {
  "$CLI" ls "$1" "$2" --json 2>/dev/null | grep -E '"type": ?"file"' | grep -v '"deleted": ?true' | head -n1 |
    sed -E 's/.*"path": ?"([^"]*)".*/\1/'
}

# A mapfile in GNU ddrescue's format with every kind of area, over the whole image.
write_mapfile() {  # write_mapfile IMAGE MAP
  local size step
  size=$(stat -c %s "$1")
  step=$((size / 8 / 512 * 512))
  {
    echo "# Mapfile. Created by hand for the damaged-input runs"
    echo "# current_pos  current_status  current_pass"
    printf '0x%08X     ?               1\n' $((step * 3))
    echo "#      pos        size  status"
    local at=0 s
    local i=0
    for s in + - / '*' + ? - +; do
      i=$((i + 1))
      if ((i == 8)); then step=$((size - at)); fi  # the last area runs to the end
      printf '0x%08X  0x%08X  %s\n' "$at" "$step" "$s"
      at=$((at + step))
    done
  } >"$2"
}

# derive KIND IMAGE: the pristine file of that kind, saved from IMAGE by the commands themselves.
derive() {
  local kind=$1 img=$2 out part
  out="$img.$kind"
  if [[ ! -e $out ]]; then
    part=$(first_partition "$img")
    case $kind in
      result) "$CLI" rawscan "$img" --save-result "$out" >/dev/null 2>&1 ;;
      backup) "$CLI" ptable backup "$img" "$out" >/dev/null 2>&1 ;;
      tree) "$CLI" ls "$img" "$part" --save-tree "$out" >/dev/null 2>&1 ;;
      mapfile) write_mapfile "$img" "$out" ;;
      checkpoint) "$CLI" rawscan "$img" --checkpoint "$out" >/dev/null 2>&1 ;;
      deep) "$CLI" ls "$img" "$part" --mode deep --checkpoint "$out" >/dev/null 2>&1 ;;
      manifest)
        "$CLI" recover "$img" "$part" --to "$out.dir" >/dev/null 2>&1
        cp "$out.dir/manifest.jsonl" "$out"
        ;;
    esac
  fi
  [[ -s $out ]] || { echo "mutate: could not save the $kind file of $img" >&2; return 1; }
  printf '%s\n' "$out"
}

# ------------------------------------------------------------------ one command, checked

FAILED=0 RUNS=0 PEAK=0 PEAK_CMD=""
ROUND_DIR="" ROUND_NOTE="" ROUND_REPLAY="" SNAP_DIRS=()

snapshot() {  # every file of the round and of the pristine inputs: name, size, mtime
  # A folder's own mtime moves with every output made in it, so folders count by name only.
  find "${SNAP_DIRS[@]}" -path "$ROUND_DIR/log" -prune -o -type d -printf '%p\tfolder\n' -o -printf '%p\t%s %T@\n' \
    2>/dev/null | sort
}

# The files a command may write: what follows its options that name an output, and the FILE of
# "ptable backup"; each with what lies below it and its siblings by suffix (a mapfile's ".tmp").
outputs_of() {
  local prev="" a
  OUTPUTS=()
  for a in "$@"; do
    case $prev in --to | --save-result | --save-tree | --checkpoint | --resume) OUTPUTS+=("$a") ;; esac
    if [[ $prev == --mapfile && $1 == image ]]; then OUTPUTS+=("$a"); fi  # elsewhere a map is only read
    prev=$a
  done
  if [[ ${1:-} == ptable && ${2:-} == backup ]]; then OUTPUTS+=("${!#}"); fi
}
written_elsewhere() {  # written_elsewhere BEFORE AFTER: the changed paths that are no output's
  local p o ok
  while IFS= read -r p; do
    ok=0
    for o in "${OUTPUTS[@]}"; do
      if [[ $p == "$o" || $p == "$o"/* || $p == "$o".* ]]; then ok=1; fi
    done
    ((ok)) || printf '%s ' "$p"
  done < <(diff <(echo "$1") <(echo "$2") | sed -n 's/^[<>] \([^\t]*\)\t.*/\1/p' | sort -u)
}

fail() {  # fail REASON CMD...
  local reason=$1 keep
  shift
  FAILED=$((FAILED + 1))
  keep="$FAILURES/$(basename "$ROUND_DIR")-$FAILED"
  rm -rf "$keep"  # the same replay's report from an earlier run
  mkdir -p "$keep"
  {
    echo "finding: $reason"
    echo "mutation: $ROUND_NOTE"
    echo "replay: $ROUND_REPLAY"
    printf 'command:'
    printf ' %q' "$@"
    echo
    echo "--- stderr (tail)"
    tail -n 20 "$ROUND_DIR/log/err"
  } >"$keep/finding.txt"
  mkdir -p "$keep/src"
  for f in "$ROUND_DIR"/src/*; do gzip -1c "$f" >"$keep/src/$(basename "$f").gz"; done
  echo "mutate: FAIL ($reason) [$ROUND_REPLAY]" >&2
  sed -n '4p' "$keep/finding.txt" >&2
  echo "mutate:   kept in $keep" >&2
}

run() {  # run CMD...: one orvaldi command, its arguments as given
  local rc rss before after
  RUNS=$((RUNS + 1))
  rm -f "$ROUND_DIR/log/time"
  before=$(snapshot)
  (
    cd "$ROUND_DIR/cwd" || exit 99
    ((SANITIZED)) || ulimit -v "$VMEM_KIB"
    ulimit -f "$FILE_KIB"
    exec /usr/bin/time -f '%x %M' -o "$ROUND_DIR/log/time" timeout -k 5 "$TIMEOUT" "$CLI" "$@" \
      >"$ROUND_DIR/log/out" 2>"$ROUND_DIR/log/err" </dev/null
  )
  rc=$?
  LAST_RC=$rc
  ROUND_CODES+=" $rc"
  rss=$(tail -n1 "$ROUND_DIR/log/time" 2>/dev/null | awk '{print $2}')
  rss=${rss:-0}
  if ((rss > PEAK)); then PEAK=$rss PEAK_CMD="$*"; fi
  if ((rss > ROUND_PEAK)); then ROUND_PEAK=$rss; fi
  after=$(snapshot)
  if [[ ! -s $ROUND_DIR/log/time ]]; then
    fail "the command did not run (exit $rc)" "$@"
  elif grep -q 'Command terminated by signal' "$ROUND_DIR/log/time" 2>/dev/null || ((rc > 128 && rc != 130)); then
    fail "crash (exit $rc, $(head -n1 "$ROUND_DIR/log/time"))" "$@"
  elif ((rc == 124)); then
    fail "hang (over ${TIMEOUT} s)" "$@"
  elif [[ $ACCEPTED != *" $rc "* ]]; then
    fail "exit code $rc ($(grep -m1 -i 'error' "$ROUND_DIR/log/err" | cut -c1-160))" "$@"
  elif ((rss > RSS_MIB * 1024)); then
    fail "peak RSS $((rss / 1024)) MiB over ${RSS_MIB} MiB" "$@"
  elif grep -qE 'AddressSanitizer|LeakSanitizer|runtime error:' "$ROUND_DIR/log/err"; then
    fail "sanitizer report" "$@"
  elif [[ $before != "$after" ]]; then
    outputs_of "$@"
    local elsewhere
    elsewhere=$(written_elsewhere "$before" "$after")
    if [[ -n $elsewhere ]]; then fail "a file written outside the target: ${elsewhere:0:300}" "$@"; fi
  fi
}

# ------------------------------------------------------------------ the commands

# Every command on a damaged disk or volume S (partition P, file F of the pristine listing).
commands_on_source() {
  local S=$1 P=$2 F=$3 T=$4 sectors mode=search
  sectors=$(($(stat -c %s "${S%%,*}") / 512))
  case $PART_FS in NTFS) mode=deep ;; exFAT) mode=walk ;; esac
  run info "$S"
  run info "$S" --json
  run parts "$S"
  run parts "$S" --json
  run ls "$S" "$P"
  run ls "$S" "$P" --json --deleted
  run ls "$S" "$P" --mode "$mode"
  run find "$S" "$P" --name a --json
  run find "$S" "$P" --pattern '*.t?t;*jp*' --mode "$mode"
  run recover "$S" "$P" --to "$T/recover"
  local recovered=$LAST_RC
  run verify "$T/recover"
  # A recovery that called itself whole must stand the check of what it wrote: nothing partial,
  # missing or changed (files it could not verify, such as deleted ones, are no contradiction).
  local summary
  summary=$(cat "$ROUND_DIR/log/out" "$ROUND_DIR/log/err" | grep -m1 ' listed, ')
  if ((recovered == 0)) && [[ ! $summary =~ " 0 missing, 0 changed;".*" 0 partial," ]]; then
    fail "recover exited 0 but verify of its target says: ${summary:0:240}" recover "$S" "$P" --to "$T/recover"
  fi
  run recover "$S" "$P" --to "$T/recover-$mode" --mode "$mode" --no-fat-reference
  run cat "$S" "$P" "$F"
  run hex "$S" --sector 0 --count 64
  run hex "$S" "$P" "$F"
  run image "$S" --to "$T/disk.img" --mapfile "$T/disk.map"
  run ls "$S" "$P" --mapfile "$T/disk.map"
  run image "$S" "$P" --to "$T/part.img" --start 1
  run freespace "$S" "$P" --to "$T/free.bin" --layout
  run rawscan "$S" --json --save-result "$T/scan.kvr_scn"
  run parts "$S" --load-result "$T/scan.kvr_scn"
  run ls "$S" 0 --load-result "$T/scan.kvr_scn"
  run rawscan "$S" --part "$P"
  run carve "$S" --to "$T/carve" --names
  run find-parts "$S" --mode sector --json
  run find-parts "$S"
  run region "$S" 0 "$sectors"
  run ptable backup "$S" "$T/tables.bin"
  run ptable rebuild "$S"
  run ls "$S" "$P" --save-tree "$T/tree.orvtree"
  run recover "$S" "$P" --load-tree "$T/tree.orvtree" --to "$T/from-tree"
}

# The commands that read a damaged saved file M of KIND, on its pristine source S.
commands_on_file() {
  local kind=$1 M=$2 S=$3 P=$4 F=$5 T=$6
  case $kind in
    result)
      run info "$S" --load-result "$M"
      run parts "$S" --load-result "$M" --json
      run ls "$S" "$P" --load-result "$M"
      run ls "$S" 0 --load-result "$M" --mode search
      run recover "$S" "$P" --load-result "$M" --to "$T/recover"
      run rawscan "$S" --load-result "$M" --json
      run carve "$S" --load-result "$M" --to "$T/carve"
      run ptable rebuild "$S" --load-result "$M"
      run hex "$S" "$P" "$F" --load-result "$M"
      run freespace "$S" "$P" --load-result "$M" --to "$T/free.bin"
      run image "$S" "$P" --load-result "$M" --to "$T/part.img"
      ;;
    backup)
      run ptable restore "$S" "$M"
      ;;
    tree)
      run ls "$S" "$P" --load-tree "$M"
      run ls "$S" "$P" --load-tree "$M" --json --deleted
      run find "$S" "$P" --load-tree "$M" --name a
      run recover "$S" "$P" --load-tree "$M" --to "$T/recover"
      run cat "$S" "$P" "$F" --load-tree "$M"
      run hex "$S" "$P" "$F" --load-tree "$M"
      ;;
    mapfile)
      run ls "$S" "$P" --mapfile "$M"
      run ls "$S" "$P" --mapfile "$M" --json
      run recover "$S" "$P" --mapfile "$M" --to "$T/recover"
      cp "$M" "$T/resume.map"
      run image "$S" --to "$T/disk.img" --mapfile "$T/resume.map"
      ;;
    checkpoint)
      cp "$M" "$T/a.ckpt"
      run rawscan "$S" --resume "$T/a.ckpt" --json
      cp "$M" "$T/b.ckpt"
      run carve "$S" --resume "$T/b.ckpt" --to "$T/carve"
      ;;
    deep)
      cp "$M" "$T/a.ckpt"
      run ls "$S" "$P" --mode deep --resume "$T/a.ckpt"
      cp "$M" "$T/b.ckpt"
      run recover "$S" "$P" --mode deep --resume "$T/b.ckpt" --to "$T/recover"
      ;;
    manifest)
      cp -r "$S.manifest.dir" "$T/target"
      cp "$M" "$T/target/manifest.jsonl"
      run verify "$T/target"
      run verify "$T/target/manifest.jsonl"
      ;;
  esac
}

# ------------------------------------------------------------------ one round

round() {  # round CASE_INDEX MUTATION_SEED
  local name kind input options second="" part="" image_name img src S P F T note derived="" sum_before
  read -r name kind input options <<<"${CASES[$1]}"
  for o in $options; do
    case $o in part=*) part=${o#part=} ;; member=*) second=${o#member=} ;; esac
  done
  ROUND_DIR="$WORK/rounds/$name-$2"
  ROUND_REPLAY="tools/mutate.sh --case $name --mutation-seed $2"
  rm -rf "$ROUND_DIR"
  ROUND_CODES="" ROUND_START=$SECONDS ROUND_PEAK=0
  mkdir -p "$ROUND_DIR/src" "$ROUND_DIR/cwd" "$ROUND_DIR/target" "$ROUND_DIR/log"
  image_name=${input#@*:}
  if ! img=$(unpack "$image_name"); then
    echo "mutate: $name skipped: no ${image_name#corpus:} (the shared corpus is not beside the tree)" >&2
    return 0
  fi
  if [[ $input == @* ]]; then
    derived=${input%%:*}
    derived=${derived#@}
    src=$(derive "$derived" "$img") || { FAILED=$((FAILED + 1)); return 0; }
  else
    src=$img
  fi
  # The damaged copy lies among neighbours, which must stay as they are too.
  echo "a neighbour" >"$ROUND_DIR/src/neighbour.txt"
  local damaged="$ROUND_DIR/src/$(basename "$src")"
  if ! note=$("$MUTATOR" "$kind" "$2" "$src" "$damaged" 2>&1); then
    echo "mutate: $name: the mutator found nothing to damage: $note" >&2
    FAILED=$((FAILED + 1))
    return 0
  fi
  ROUND_NOTE="$kind $(basename "$src"): $note"
  S=$damaged
  if [[ -n $second ]]; then S="$damaged,$(unpack "$second")"; fi
  [[ -n $derived ]] && S=$img
  local pristineSource=$img
  [[ -n $second ]] && pristineSource="$img,$(unpack "$second")"
  P=${part:-$(first_partition "$pristineSource")}
  P=${P:-0}
  PART_FS=$("$CLI" parts "$pristineSource" --json 2>/dev/null | tr -d '\n' | tr '{' '\n' | grep -E "\"index\": ?$P[,}]" |
    sed -nE 's/.*"fs": ?"([^"]*)".*/\1/p' | head -n1)
  F=$(first_file "$pristineSource" "$P")
  F=${F:-根目录/none}
  T="$ROUND_DIR/target"
  SNAP_DIRS=("$ROUND_DIR" "$PRISTINE")
  local members
  IFS=, read -r -a members <<<"$S"
  sum_before=$(sha256sum "${members[@]}")
  if [[ -n $derived ]]; then
    commands_on_file "$derived" "$damaged" "$S" "$P" "$F" "$T"
  else
    commands_on_source "$S" "$P" "$F" "$T"
  fi
  if [[ $(sha256sum "${members[@]}") != "$sum_before" ]]; then
    fail "the source changed" "(the round's commands)"
  fi
  echo "mutate: $name $2: exits$(tr ' ' '\n' <<<"$ROUND_CODES" | sed '/^$/d' | sort -n | uniq -c |
    awk '{printf " %s×%s", $2, $1}') in $((SECONDS - ROUND_START)) s, peak RSS $((ROUND_PEAK / 1024)) MiB; $ROUND_NOTE" | cut -c1-200 >&2
  # A round that passed leaves nothing behind; the damaged copies of large images add up.
  rm -rf "$ROUND_DIR"
}

ROUNDS=${ROUNDS:-${#CASES[@]}}
start=$SECONDS
if [[ -n $ONLY_CASE ]]; then
  for i in "${!CASES[@]}"; do
    if [[ ${CASES[$i]%% *} == "$ONLY_CASE" ]]; then round "$i" "${ONLY_SEED:-$SEED}"; fi
  done
else
  # Past findings first, then the seed's rounds.
  while read -r c s; do
    [[ -z $c || $c == \#* ]] && continue
    for i in "${!CASES[@]}"; do [[ ${CASES[$i]%% *} == "$c" ]] && round "$i" "$s"; done
  done <"$FIXTURES/mutate_findings.txt"
  for ((r = 0; r < ROUNDS; r++)); do round $((r * STRIDE % ${#CASES[@]})) $((SEED * 1000003 + r)); done
fi
echo "mutate: $RUNS commands in $((SECONDS - start)) s (seed $SEED, $ROUNDS rounds); peak RSS $((PEAK / 1024)) MiB ($PEAK_CMD); $FAILED failures" >&2
if ((FAILED)); then
  echo "mutate: $FAILED failed (kept in $FAILURES)" >&2
  exit 1
fi
