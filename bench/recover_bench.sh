#!/usr/bin/env bash
# Times copying files out of an NTFS image: `orvaldi recover` against The Sleuth Kit's tsk_recover and icat, beside plain reads and copies of the same cached image.
#
# Usage: bench/recover_bench.sh [IMG] [ORVALDI_BIN]
#
# IMG defaults to /tmp/recoverbench.img, made by
# bench/make_recover_bench_image.sh; the sha256sum list it writes next to the
# image (IMG with .img replaced by .sha256) is used to check the outputs when
# it is there. ORVALDI_BIN defaults to build/src/orvaldi.
#
# The image is read once to warm the page cache. Then every command runs once
# untimed and RUNS times (default 3) timed; the best time counts. Before each
# run the previous output is deleted (untimed), so every run writes into an
# empty folder under TARGET (default /dev/shm, a tmpfs; set TARGET to a folder
# on disk to include the file system under it). Neither tool syncs its
# output, so on a disk target the time ends when the data is in the page
# cache.
#
#   sequential read    dd if=IMG of=/dev/null bs=4M: the whole image
#   sequential copy    dd if=IMG of=TARGET/... bs=4M, as many bytes as the
#                      volume's files hold: what one read + one write costs
#   whole volume       orvaldi recover IMG 0 --to DIR
#                      tsk_recover -e IMG DIR
#   large files        orvaldi recover IMG 0 --to DIR 根目录/LARGE, and the
#                      same with --no-manifest (the copy without the hashing)
#                      tsk_recover -e -d INUM IMG DIR (INUM: the folder LARGE)
#                      icat IMG INUM > DIR/NAME, one file after another
#
# LARGE (default "large") names the folder of big files. Speeds are in MB/s,
# 1 MB = 10^6 bytes: image bytes for the read, file bytes for the others.
# After the timed runs, the last output of each command is checked: the
# sha256 of every file, by path, must be the same for orvaldi and The Sleuth
# Kit and, with the list next to the image, the same as written. Any
# difference is printed and the script exits 1 (after all timings).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
IMG=$(realpath -m "${1:-/tmp/recoverbench.img}")
BIN=${2:-$ROOT/build/src/orvaldi}
RUNS=${RUNS:-3}
TARGET=${TARGET:-/dev/shm}
LARGE=${LARGE:-large}
SUMS="${IMG%.img}.sha256"
export LC_ALL=C.UTF-8

# shellcheck source=tools/bench_lib.sh
source "$ROOT/tools/bench_lib.sh"

[[ -r $IMG ]] || die "cannot read $IMG (make it with bench/make_recover_bench_image.sh)"
[[ -x $BIN ]] || die "$BIN is not an executable file"
for t in tsk_recover icat fls; do command -v $t >/dev/null || die "$t not found (apt-get install sleuthkit)"; done
[[ -x /usr/bin/time ]] || die "/usr/bin/time not found (apt-get install time)"
[[ -d $TARGET ]] || die "target folder $TARGET does not exist"

WORK=$(mktemp -d "$TARGET/orvaldi-recoverbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
OUT="$WORK/out"

# ---------------------------------------------------------------- the image
listing=$(fls -r -p "$IMG")
large_inum=$(awk -F'\t' -v d="$LARGE" '$1 ~ /^d\/d / && $2 == d { split($1, a, /[ -]/); print a[2] }' <<<"$listing")
[[ -n $large_inum ]] || die "no folder \"$LARGE\" at the root of $IMG"
# "record number<TAB>name" of every file directly in LARGE
large_files=$(awk -F'\t' -v d="$LARGE/" '$1 ~ /^r\/r / && index($2, d) == 1 && index(substr($2, length(d) + 1), "/") == 0 {
  split($1, a, /[ -]/); print a[2] "\t" substr($2, length(d) + 1) }' <<<"$listing")
[[ -n $large_files ]] || die "no files in \"$LARGE\""
img_bytes=$(stat -c %s "$IMG")
need=$((img_bytes + (64 << 20)))
avail=$(df --output=avail -B1 "$WORK" | tail -n1)
((avail > need)) || die "$TARGET has $((avail >> 20)) MiB free; the outputs need up to $((need >> 20)) MiB"

cat "$IMG" >/dev/null   # warm the page cache once for everything

# ---------------------------------------------------------------- timing
# line LABEL NAME BYTES - best time, MB/s, CPU time of the best run, peak
# RSS and every run
line() {
  # printf pads by bytes: a CJK character takes 3 bytes but 2 columns
  local wide=$(( ($(LC_ALL=C; printf '%s' "${#1}") - ${#1}) / 2 ))
  printf "  %-$((46 + wide))s best %7s s %6s MB/s  cpu %6s s  peak RSS %6s MiB  runs: %s\n" \
    "$1" "$(best_s "$2")" "$(MB "$3" "$(best_s "$2")")" "$(best_cpu "$2")" "$(peak_mib "$2")" "$(runs_s "$2")"
}

# speed NAME BYTES - MB/s of the best run
speed() { MB "$2" "$(best_s "$1")"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f%%", 100 * a / b }'; }

# ---------------------------------------------------------------- output checks
PROBLEMS=0
# sums DIR - "sha256  path" of every file under DIR, sorted by path
sums() { (cd "$1" && find . -type f -printf '%P\0' | sort -z | xargs -0r -n 64 -P 2 sha256sum | sort -k2); }
bytes_of() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }'; }
# compare LABEL_A A LABEL_B B - two sums lists; prints the outcome
compare() {
  if cmp -s "$2" "$4"; then
    printf '  output: %s and %s agree: %d files, every sha256 the same\n' "$1" "$3" "$(wc -l <"$2")"
  else
    PROBLEMS=1
    printf '  OUTPUT MISMATCH between %s (%d files) and %s (%d files); first differences:\n' \
      "$1" "$(wc -l <"$2")" "$3" "$(wc -l <"$4")"
    diff "$2" "$4" | grep '^[<>]' | head -n 10 | sed 's/^/    /'
  fi
}
# expected PREFIX - the list next to the image, for paths under PREFIX, without it
expected() { awk -v p="$1" 'index($2, p) == 1 { print $1 "  " substr($2, length(p) + 1) }' "$SUMS" | sort -k2; }
# orvaldi puts the root folder's tree under 根目录, files without a known
# folder under 零散目录 and its manifest beside them; anything else outside
# 根目录 is counted here
stray() { find "$OUT" -type f -not -path "$OUT/根目录/*" -not -path "$OUT/manifest.jsonl" | wc -l; }
# the summary line of a recover run (the manifest's line follows it)
summary_of() { grep '^恢复到' "$1" | tail -n1; }
check_stray() {
  if (($1)); then
    PROBLEMS=1
    printf '  OUTPUT MISMATCH: orvaldi wrote %d files outside 根目录\n' "$1"
  fi
}

fstype=$(df --output=fstype "$WORK" | tail -n1)
nfiles=$(grep -c '^r/r [0-9]*-128-[0-9]*:	[^$]' <<<"$listing" || true)
printf 'image: %s (%s bytes), %s files; target %s (%s); best of %s runs after one untimed run; 1 MB = 10^6 bytes\n' \
  "$IMG" "$img_bytes" "$nfiles" "$WORK" "$fstype" "$RUNS"
[[ -r $SUMS ]] || printf '  (no %s: outputs are only compared with each other)\n' "$SUMS"

# ---------------------------------------------------------------- whole volume
timed orvaldi "$BIN" recover "$IMG" 0 --to "$OUT" || exit 1
summary=$(summary_of "$WORK/orvaldi.out")
vol_bytes=$(bytes_of "$OUT/根目录")
sums "$OUT/根目录" >"$WORK/orvaldi.sums"
orvaldi_stray=$(stray)

timed tsk tsk_recover -e "$IMG" "$OUT" || exit 1
tsk_bytes=$(bytes_of "$OUT")
sums "$OUT" >"$WORK/tsk.sums"
rm -rf "$OUT"

blocks=$(((vol_bytes + (4 << 20) - 1) / (4 << 20)))
copy_bytes=$((blocks * (4 << 20)))
timed read dd if="$IMG" of=/dev/null bs=4M
# shellcheck disable=SC2016
timed copy bash -c 'mkdir -p "$1" && dd if="$2" of="$1/copy" bs=4M count="$3" status=none' _ "$OUT" "$IMG" "$blocks"
rm -rf "$OUT"

echo "reference"
line "dd if=IMG of=/dev/null bs=4M" read "$img_bytes"
line "dd if=IMG of=TARGET/copy bs=4M count=$blocks" copy "$copy_bytes"
read_mb=$(speed read "$img_bytes")
copy_mb=$(speed copy "$copy_bytes")
figure read_mbs "$read_mb"
figure copy_mbs "$copy_mb"

echo "whole volume: $(wc -l <"$WORK/orvaldi.sums") files, $vol_bytes bytes (orvaldi: $summary)"
line "orvaldi recover IMG 0 --to DIR" orvaldi "$vol_bytes"
line "tsk_recover -e IMG DIR" tsk "$tsk_bytes"
o_mb=$(speed orvaldi "$vol_bytes")
figure orvaldi_mbs "$o_mb"
figure tsk_mbs "$(speed tsk "$tsk_bytes")"
printf '  orvaldi / tsk_recover %sx;  orvaldi / read %s;  orvaldi / copy %s\n' \
  "$(ratio "$o_mb" "$(speed tsk "$tsk_bytes")")" "$(pct "$o_mb" "$read_mb")" "$(pct "$o_mb" "$copy_mb")"
compare orvaldi "$WORK/orvaldi.sums" tsk_recover "$WORK/tsk.sums"
if [[ -r $SUMS ]]; then
  expected "" >"$WORK/written.sums"
  compare orvaldi "$WORK/orvaldi.sums" "the list of what was written" "$WORK/written.sums"
fi
check_stray "$orvaldi_stray"

# ---------------------------------------------------------------- large files
timed orvaldi_large "$BIN" recover "$IMG" 0 --to "$OUT" "根目录/$LARGE" || exit 1
large_bytes=$(bytes_of "$OUT/根目录/$LARGE")
sums "$OUT/根目录/$LARGE" >"$WORK/orvaldi_large.sums"
orvaldi_stray=$(stray)
timed orvaldi_large_nm "$BIN" recover "$IMG" 0 --to "$OUT" "根目录/$LARGE" --no-manifest || exit 1

timed tsk_large tsk_recover -e -d "$large_inum" "$IMG" "$OUT" || exit 1
sums "$OUT" >"$WORK/tsk_large.sums"

# shellcheck disable=SC2016
timed icat_large bash -c 'mkdir -p "$1" && while read -r inum name; do icat "$2" "$inum" >"$1/$name"; done <<<"$3"' \
  _ "$OUT" "$IMG" "$large_files" || exit 1
sums "$OUT" >"$WORK/icat_large.sums"
rm -rf "$OUT"

echo "large files only ($LARGE/): $(wc -l <<<"$large_files") files, $large_bytes bytes (orvaldi: $(summary_of "$WORK/orvaldi_large.out"))"
line "orvaldi recover IMG 0 --to DIR 根目录/$LARGE" orvaldi_large "$large_bytes"
line "the same, --no-manifest" orvaldi_large_nm "$large_bytes"
line "tsk_recover -e -d $large_inum IMG DIR" tsk_large "$large_bytes"
line "icat IMG INUM > DIR/NAME, per file" icat_large "$large_bytes"
o_mb=$(speed orvaldi_large "$large_bytes")
figure orvaldi_large_mbs "$o_mb"
figure orvaldi_large_nomanifest_mbs "$(speed orvaldi_large_nm "$large_bytes")"
figure tsk_large_mbs "$(speed tsk_large "$large_bytes")"
figure icat_large_mbs "$(speed icat_large "$large_bytes")"
printf '  orvaldi / tsk_recover %sx;  orvaldi / icat %sx;  orvaldi / read %s;  orvaldi / copy %s\n' \
  "$(ratio "$o_mb" "$(speed tsk_large "$large_bytes")")" "$(ratio "$o_mb" "$(speed icat_large "$large_bytes")")" \
  "$(pct "$o_mb" "$read_mb")" "$(pct "$o_mb" "$copy_mb")"
printf '  orvaldi --no-manifest / copy %s\n' "$(pct "$(speed orvaldi_large_nm "$large_bytes")" "$copy_mb")"
compare orvaldi "$WORK/orvaldi_large.sums" "tsk_recover -d" "$WORK/tsk_large.sums"
compare orvaldi "$WORK/orvaldi_large.sums" icat "$WORK/icat_large.sums"
if [[ -r $SUMS ]]; then
  expected "$LARGE/" >"$WORK/written_large.sums"
  compare orvaldi "$WORK/orvaldi_large.sums" "the list of what was written" "$WORK/written_large.sums"
fi
check_stray "$orvaldi_stray"

exit "$PROBLEMS"
