#!/usr/bin/env bash
# Times the NTFS record search by sector (ls --mode deep) beside a plain sequential read of the same cached image.
# Usage: bench/ntfs_deep_bench.sh [IMG] [ORVALDI_BIN]
#   IMG defaults to the 1 GiB Windows-made volume of the shared corpus, expanded into /tmp.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=tools/bench_lib.sh
source "$ROOT/tools/bench_lib.sh"
search_bench_start "$@"

against_read 30M "$BIN" ls "$IMG" 0 --mode deep --json
sectors=$((BYTES / 512))
printf 'image: %s (%d bytes, %d sectors); %d runs each\n' "$IMG" "$BYTES" "$sectors" "$RUNS"
printf 'sequential read (dd, 30 MiB blocks)  median %8.3f s  %10.0f sectors/s\n' "$READ_S" "$(echo "$sectors / $READ_S" | bc -l)"
printf 'orvaldi ls --mode deep               median %8.3f s  %10.0f sectors/s\n' "$CMD_S" "$(echo "$sectors / $CMD_S" | bc -l)"
search_ratio
