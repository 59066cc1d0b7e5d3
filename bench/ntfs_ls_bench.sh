#!/usr/bin/env bash
# Times a recursive listing of an NTFS image: The Sleuth Kit's `fls -r -p` against `orvaldi ls IMG 0 --json`.
#
# Usage: bench/ntfs_ls_bench.sh IMG ORVALDI_BIN
#
# Each command runs RUNS times (default 3) after one untimed pass over the
# image, so both are measured with the image in the page cache. Output goes to
# /dev/null. Prints the median wall-clock seconds and the peak RSS of each,
# fls / orvaldi (above 1 means orvaldi is faster), and orvaldi's peak RSS
# divided by the number of lines it printed (bytes per listed node, counted in
# one extra untimed run). Wall time is taken around each run, peak RSS from
# GNU time's %M. If orvaldi fails (for instance before it can list NTFS), the
# script says so, still reports fls, and exits 1.
#
# Make an image with bench/make_ntfs_bench_image.sh.
set -euo pipefail

IMG=${1:?usage: ntfs_ls_bench.sh IMG ORVALDI_BIN}
BIN=${2:?usage: ntfs_ls_bench.sh IMG ORVALDI_BIN}
RUNS=${RUNS:-3}

die() { printf 'ntfs_ls_bench: %s\n' "$*" >&2; exit 2; }
[[ -r $IMG ]] || die "cannot read $IMG"
command -v fls >/dev/null || die "fls not found (apt-get install sleuthkit)"
[[ -x /usr/bin/time ]] || die "/usr/bin/time not found (apt-get install time)"
[[ -x $BIN ]] || printf 'ntfs_ls_bench: %s is not an executable file; its runs will fail\n' "$BIN" >&2

WORK=$(mktemp -d /tmp/orvaldi-lsbench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

cat "$IMG" >/dev/null   # warm the page cache once for both

# measure NAME CMD... - RUNS timed runs; leaves "microseconds rss_kib" lines in $WORK/NAME
measure() {
  local name=$1 i t0 t1 rc; shift
  : >"$WORK/$name"
  for ((i = 1; i <= RUNS; i++)); do
    t0=$(date +%s%N)
    rc=0
    /usr/bin/time -f '%M' -o "$WORK/$name.rss" "$@" >/dev/null 2>"$WORK/$name.err" || rc=$?
    t1=$(date +%s%N)
    if ((rc)); then
      printf '%s failed (exit %d) on run %d: %s\n' "$name" "$rc" "$i" \
        "$(grep -v '^Command exited with non-zero status' "$WORK/$name.err" | tail -n 3 | tr '\n' ' ')" >&2
      return 1
    fi
    printf '%s %s\n' "$(((t1 - t0) / 1000))" "$(tail -n1 "$WORK/$name.rss")" >>"$WORK/$name"
  done
}

# median_s NAME / peak_mib NAME / peak_kib NAME
median_s() { sort -n "$WORK/$1" | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1e6}'; }
peak_mib() { awk 'm<$2{m=$2} END {printf "%.1f", m/1024}' "$WORK/$1"; }
peak_kib() { awk 'm<$2{m=$2} END {print m}' "$WORK/$1"; }
runs_s() { awk '{printf "%s%.3f", (NR>1?" ":""), $1/1e6}' "$WORK/$1"; }

entries=$(fls -r -p "$IMG" | wc -l)
printf 'image: %s (%s bytes), fls -r -p lists %s lines; %s runs each\n' \
  "$IMG" "$(stat -c %s "$IMG")" "$entries" "$RUNS"

measure fls fls -r -p "$IMG"
printf '%-40s median %8s s   peak RSS %8s MiB   runs: %s\n' "fls -r -p IMG" "$(median_s fls)" "$(peak_mib fls)" "$(runs_s fls)"

if measure orvaldi "$BIN" ls "$IMG" 0 --json; then
  printf '%-40s median %8s s   peak RSS %8s MiB   runs: %s\n' "orvaldi ls IMG 0 --json" "$(median_s orvaldi)" \
    "$(peak_mib orvaldi)" "$(runs_s orvaldi)"
  awk -v a="$(median_s fls)" -v b="$(median_s orvaldi)" \
    'BEGIN { if (b > 0) printf "ratio fls/orvaldi: %.2f\n", a / b; else print "ratio fls/orvaldi: n/a (orvaldi took 0 s)" }'
  lines=$("$BIN" ls "$IMG" 0 --json | wc -l)
  if ((lines == 0)); then
    echo "orvaldi exited 0 but printed nothing: no NTFS listing yet? bytes per node: n/a"
    exit 1
  fi
  awk -v k="$(peak_kib orvaldi)" -v n="$lines" \
    'BEGIN { printf "orvaldi printed %d lines; peak RSS per line: %.0f bytes\n", n, k * 1024 / n }'
else
  echo "orvaldi: '$BIN ls IMG 0 --json' failed, no timing for it (is the NTFS listing built yet?)"
  echo "ratio fls/orvaldi: n/a"
  exit 1
fi
