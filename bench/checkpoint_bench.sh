#!/usr/bin/env bash
# Times the raw scan with and without checkpoints on the raw-scan bench image, and checks that a sweep stopped half way and resumed gives the same JSON.
#
# Usage: bench/checkpoint_bench.sh [IMG] [ORVALDI_BIN]
#
# IMG defaults to /tmp/rawscanbench.img (bench/make_rawscan_bench_image.sh);
# ORVALDI_BIN to build/src/orvaldi. The image is read once to warm the page
# cache; each command then runs RUNS times (default 3) and the best wall
# time counts:
#
#   plain        orvaldi rawscan --json IMG
#   checkpoint   the same with --checkpoint F (every 5 s, and at the end)
#   every 0.2 s  the same with --checkpoint-every 0.2
#   every chunk  the same with --checkpoint-every 0 (a checkpoint per 10 MiB:
#                the worst case)
#
# The checkpoint file goes to CHECKPOINT_DIR (default /tmp).
set -euo pipefail
IMG=${1:-/tmp/rawscanbench.img}
BIN=${2:-build/src/orvaldi}
RUNS=${RUNS:-3}
DIR=${CHECKPOINT_DIR:-/tmp}
CP="$DIR/checkpoint_bench.$$.ckpt"
trap 'rm -f "$CP" "$CP.new" "$DIR"/checkpoint_bench.$$.*.json' EXIT
[ -f "$IMG" ] || { echo "no $IMG: run bench/make_rawscan_bench_image.sh first" >&2; exit 1; }
dd if="$IMG" of=/dev/null bs=4M status=none

best() {  # best wall seconds of RUNS runs of "$@"
  local b=""
  for _ in $(seq "$RUNS"); do
    local t0 t1
    t0=$(date +%s.%N)
    "$@" > /dev/null
    t1=$(date +%s.%N)
    b=$(echo "$t0 $t1 ${b:-1e9}" | awk '{d = $2 - $1; print (d < $3) ? d : $3}')
  done
  echo "$b"
}

plain=$(best "$BIN" rawscan --json "$IMG")
every5=$(best "$BIN" rawscan --json --checkpoint "$CP" "$IMG")
every02=$(best "$BIN" rawscan --json --checkpoint "$CP" --checkpoint-every 0.2 "$IMG")
every0=$(best "$BIN" rawscan --json --checkpoint "$CP" --checkpoint-every 0 "$IMG")
size=$(stat -c %s "$IMG")
printf 'image %s, %d MiB, best of %d\n' "$IMG" $((size >> 20)) "$RUNS"
printf '%-12s %8.3f s\n' plain "$plain"
printf '%-12s %8.3f s  %+.1f%%\n' checkpoint "$every5" "$(echo "$every5 $plain" | awk '{print ($1 / $2 - 1) * 100}')"
printf '%-12s %8.3f s  %+.1f%%\n' "every 0.2 s" "$every02" "$(echo "$every02 $plain" | awk '{print ($1 / $2 - 1) * 100}')"
printf '%-12s %8.3f s  %+.1f%%  (%s bytes per checkpoint)\n' "every chunk" "$every0" \
  "$(echo "$every0 $plain" | awk '{print ($1 / $2 - 1) * 100}')" "$(stat -c %s "$CP")"

# Stopped half way, resumed: the same JSON as the sweep never stopped.
half=$((size / 512 / 2 + 12345))
"$BIN" rawscan --json "$IMG" > "$DIR/checkpoint_bench.$$.whole.json"
rm -f "$CP"
set +e
"$BIN" rawscan --json --checkpoint "$CP" --stop-at "$half" "$IMG" > /dev/null
stopped=$?
set -e
"$BIN" rawscan --json --resume "$CP" "$IMG" > "$DIR/checkpoint_bench.$$.resumed.json"
if cmp -s "$DIR/checkpoint_bench.$$.whole.json" "$DIR/checkpoint_bench.$$.resumed.json"; then
  echo "stopped at sector $half (exit $stopped), resumed: same JSON"
else
  echo "stopped at sector $half (exit $stopped), resumed: JSON DIFFERS"
  exit 1
fi
