#!/usr/bin/env bash
# Times the lost-partition search by sector (find-parts --mode sector) beside a plain sequential read of the same cached image.
# Usage: bench/find_parts_bench.sh [IMG] [ORVALDI_BIN]
#   IMG defaults to the 1 GiB Windows-made volume of the shared corpus, expanded into /tmp.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=tools/bench_lib.sh
source "$ROOT/tools/bench_lib.sh"
search_bench_start "$@"

# The search must run to its end: a failing run would look fast.
"$BIN" find-parts "$IMG" --mode sector > /dev/null || { echo "find-parts failed on $IMG" >&2; exit 1; }

against_read 10M "$BIN" find-parts "$IMG" --mode sector
mib=$(echo "$BYTES / 1048576" | bc -l)
printf 'image: %s (%d bytes); %d runs each\n' "$IMG" "$BYTES" "$RUNS"
printf 'sequential read (dd, 10 MiB blocks)    median %8.3f s  %8.0f MiB/s\n' "$READ_S" "$(echo "$mib / $READ_S" | bc -l)"
printf 'orvaldi find-parts --mode sector       median %8.3f s  %8.0f MiB/s\n' "$CMD_S" "$(echo "$mib / $CMD_S" | bc -l)"
search_ratio
