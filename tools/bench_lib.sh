# shellcheck shell=bash
# Shared by the benchmarks in bench/. The listing ones (bench/*_ls_bench.sh)
# time The Sleuth Kit's `fls -r -p` against `orvaldi ls IMG 0 --json` on the
# same image: source this after `set -euo pipefail` with IMG, BIN and RUNS
# set, then call bench_start, bench_fls and bench_orvaldi. The search ones
# (find_parts_bench.sh, ntfs_deep_bench.sh) time a whole-image search beside
# dd reading the same cached image: search_bench_start, against_read and
# search_ratio.

die() { printf '%s: %s\n' "$(basename "$0" .sh)" "$*" >&2; exit 2; }

# figure KEY VALUE - one figure for bench/run, which collects every script's
# figures into one report: when BENCH_FIGURES names a file, the line
# "KEY VALUE" goes into it. The scripts print their own lines as before.
figure() { if [[ -n ${BENCH_FIGURES:-} ]]; then printf '%s %s\n' "$1" "$2" >>"$BENCH_FIGURES"; fi; }

# bench_start - check the tools and arguments, make $WORK, warm the page
# cache and print the image line
bench_start() {
  [[ -r $IMG ]] || die "cannot read $IMG"
  command -v fls >/dev/null || die "fls not found (apt-get install sleuthkit)"
  [[ -x /usr/bin/time ]] || die "/usr/bin/time not found (apt-get install time)"
  [[ -x $BIN ]] || printf '%s: %s is not an executable file; its runs will fail\n' "$(basename "$0" .sh)" "$BIN" >&2

  WORK=$(mktemp -d /tmp/orvaldi-lsbench.XXXXXX)
  trap 'rm -rf "$WORK"' EXIT

  cat "$IMG" >/dev/null   # warm the page cache once for both

  local entries
  entries=$(fls -r -p "$IMG" | wc -l)
  figure entries "$entries"
  printf 'image: %s (%s bytes), fls -r -p lists %s lines; %s runs each\n' \
    "$IMG" "$(stat -c %s "$IMG")" "$entries" "$RUNS"
}

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

# timed NAME CMD... - one untimed run (its stdout kept in $WORK/NAME.out),
# then RUNS timed runs with stdout to /dev/null, each into an emptied $OUT
# (the last run's output stays there); leaves "microseconds rss_kib cpu_s"
# lines in $WORK/NAME (cpu: user + system, from GNU time). For the copying
# benchmarks (recover_bench.sh, rawscan_bench.sh).
timed() {
  local name=$1 i t0 t1 rc out; shift
  : >"$WORK/$name"
  for ((i = 0; i <= RUNS; i++)); do
    rm -rf "$OUT"
    mkdir -p "$OUT"
    out=/dev/null
    ((i)) || out="$WORK/$name.out"
    rc=0
    t0=${EPOCHREALTIME/./}
    /usr/bin/time -f '%M %U %S' -o "$WORK/$name.rss" "$@" >"$out" 2>"$WORK/$name.err" || rc=$?
    t1=${EPOCHREALTIME/./}
    if ((rc)); then
      printf '%s failed (exit %d): %s\n' "$name" "$rc" \
        "$(grep -v '^Command exited with non-zero status' "$WORK/$name.err" | tail -n 3 | tr '\n' ' ')" >&2
      return 1
    fi
    ((i == 0)) || printf '%s %s\n' "$((t1 - t0))" "$(tail -n1 "$WORK/$name.rss" | awk '{ printf "%s %.2f", $1, $2 + $3 }')" >>"$WORK/$name"
  done
}

# MB BYTES SECONDS - MB/s (10^6 bytes); best_s NAME / best_cpu NAME - the
# best run's time and its CPU seconds, from the lines timed leaves
MB() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", b / s / 1e6 }'; }
best_s() { sort -n "$WORK/$1" | awk 'NR == 1 {printf "%.3f", $1/1e6}'; }
best_cpu() { sort -n "$WORK/$1" | awk 'NR == 1 {printf "%.2f", $3}'; }

# median_s NAME / peak_mib NAME / peak_kib NAME / runs_s NAME
median_s() { sort -n "$WORK/$1" | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]/1e6}'; }
peak_mib() { awk 'm<$2{m=$2} END {printf "%.1f", m/1024}' "$WORK/$1"; }
peak_kib() { awk 'm<$2{m=$2} END {print m}' "$WORK/$1"; }
runs_s() { awk '{printf "%s%.3f", (NR>1?" ":""), $1/1e6}' "$WORK/$1"; }

# result LABEL NAME - one line: median, peak RSS and every run
result() {
  printf '%-40s median %8s s   peak RSS %8s MiB   runs: %s\n' "$1" "$(median_s "$2")" "$(peak_mib "$2")" "$(runs_s "$2")"
}

bench_fls() {
  measure fls fls -r -p "$IMG"
  result "fls -r -p IMG" fls
  figure fls_s "$(median_s fls)"
}

# bench_orvaldi FS - time orvaldi and print the ratio; if it fails, say so
# (FS names the listing it needs) and return 1
bench_orvaldi() {
  if measure orvaldi "$BIN" ls "$IMG" 0 --json; then
    result "orvaldi ls IMG 0 --json" orvaldi
    figure orvaldi_s "$(median_s orvaldi)"
    awk -v a="$(median_s fls)" -v b="$(median_s orvaldi)" \
      'BEGIN { if (b > 0) printf "ratio fls/orvaldi: %.2f\n", a / b; else print "ratio fls/orvaldi: n/a (orvaldi took 0 s)" }'
  else
    echo "orvaldi: '$BIN ls IMG 0 --json' failed, no timing for it (is the $1 listing built yet?)"
    echo "ratio fls/orvaldi: n/a"
    return 1
  fi
}

# search_bench_start [IMG] [BIN] - the search benchmarks' arguments (IMG: by
# default the corpus's 1 GiB Windows-made NTFS volume, unpacked into /tmp
# unless it is there already; BIN: orvaldi of the build in ROOT, the source
# tree), RUNS (default 3); sets BYTES and warms the page cache
search_bench_start() {
  IMG="${1:-/tmp/ntfs-cloud-1GiB.img}"
  BIN="${2:-$ROOT/build/src/orvaldi}"
  RUNS="${RUNS:-3}"
  if [[ ! -f "$IMG" ]]; then
    local src="$ROOT/../shared/corpus/ntfs/dissect-ntfs-cloud-1GiB.img.gz"
    [[ -f "$src" ]] || { echo "no image: $IMG (and no corpus copy at $src)" >&2; exit 1; }
    gzip -dc "$src" > "$IMG"
  fi
  # shellcheck disable=SC2034  # for the script that sources this
  BYTES=$(stat -c %s "$IMG")
  cat "$IMG" > /dev/null
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
seconds() { local s e; s=$(date +%s.%N); "$@" > /dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }

# against_read BLOCK CMD... - RUNS rounds of one dd read of $IMG in BLOCK
# blocks and one run of CMD; READ_S and CMD_S get the median seconds of each
against_read() {
  local block=$1 i reads=() cmds=()
  shift
  for ((i = 0; i < RUNS; i++)); do
    reads+=("$(seconds dd if="$IMG" of=/dev/null bs="$block" status=none)")
    cmds+=("$(seconds "$@")")
  done
  READ_S=$(printf '%s\n' "${reads[@]}" | median)
  CMD_S=$(printf '%s\n' "${cmds[@]}" | median)
}

search_ratio() {
  figure read_s "$(printf '%.3f' "$READ_S")"
  figure search_s "$(printf '%.3f' "$CMD_S")"
  printf 'search speed / read speed: %.0f%%\n' "$(echo "100 * $READ_S / $CMD_S" | bc -l)"
}
