#!/usr/bin/env bash
# Times ls --mode deep with and without checkpoints, and checks that a search stopped half way and resumed lists the same.
#
# Usage: bench/deep_checkpoint_bench.sh [IMG] [ORVALDI_BIN]
#
# IMG defaults to the corpus's 1 GiB Windows-made NTFS volume, unpacked into
# /tmp (as bench/ntfs_deep_bench.sh does); ORVALDI_BIN to build/src/orvaldi.
# Each command runs RUNS times (default 3) and the best wall time counts:
#
#   plain        orvaldi ls IMG 0 --mode deep --json
#   checkpoint   the same with --checkpoint F (every 5 s, and at the end)
#   every block  the same with --checkpoint-every 0 (a checkpoint per 30 MiB
#                block: the worst case)
#   resume       --resume from a checkpoint written at the end: only the
#                finds are read again
#
# The checkpoint file goes to CHECKPOINT_DIR (default /tmp).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=tools/bench_lib.sh
source "$ROOT/tools/bench_lib.sh"
search_bench_start "$@"
DIR=${CHECKPOINT_DIR:-/tmp}
CP="$DIR/deep_checkpoint_bench.$$.ckpt"
trap 'rm -f "$CP" "$CP.new" "$DIR"/deep_checkpoint_bench.$$.*.json' EXIT

best() {  # best wall seconds of RUNS runs of "$@"
  local b=""
  for _ in $(seq "$RUNS"); do
    local t0 t1
    t0=$(date +%s.%N)
    "$@" > /dev/null || true
    t1=$(date +%s.%N)
    b=$(echo "$t0 $t1 ${b:-1e9}" | awk '{d = $2 - $1; print (d < $3) ? d : $3}')
  done
  echo "$b"
}
pct() { echo "$1 $2" | awk '{print ($1 / $2 - 1) * 100}'; }

deep=("$BIN" ls "$IMG" 0 --mode deep --json)
plain=$(best "${deep[@]}")
every5=$(best "${deep[@]}" --checkpoint "$CP")
every0=$(best "${deep[@]}" --checkpoint "$CP" --checkpoint-every 0)
resumed=$(best "${deep[@]}" --resume "$CP")
printf 'image %s, %d MiB, best of %d\n' "$IMG" $((BYTES >> 20)) "$RUNS"
printf '%-12s %8.3f s\n' plain "$plain"
printf '%-12s %8.3f s  %+.1f%%\n' checkpoint "$every5" "$(pct "$every5" "$plain")"
printf '%-12s %8.3f s  %+.1f%%  (%s bytes per checkpoint)\n' "every block" "$every0" "$(pct "$every0" "$plain")" \
  "$(stat -c %s "$CP")"
printf '%-12s %8.3f s  (from the checkpoint written at the end)\n' resume "$resumed"

# Stopped half way, resumed: the same listing as the search never stopped.
start=$("$BIN" parts --json "$IMG" | grep -o '"start": *[0-9]*' | head -1 | grep -o '[0-9]*$')
half=$((${start:-0} + BYTES / 512 / 2 + 12345))
"${deep[@]}" > "$DIR/deep_checkpoint_bench.$$.whole.json" || true
rm -f "$CP"
set +e
"${deep[@]}" --checkpoint "$CP" --stop-at "$half" > /dev/null
stopped=$?
set -e
"${deep[@]}" --resume "$CP" > "$DIR/deep_checkpoint_bench.$$.resumed.json" || true
if cmp -s "$DIR/deep_checkpoint_bench.$$.whole.json" "$DIR/deep_checkpoint_bench.$$.resumed.json"; then
  echo "stopped at sector $half (exit $stopped), resumed: same JSON"
else
  echo "stopped at sector $half (exit $stopped), resumed: JSON DIFFERS"
  exit 1
fi
