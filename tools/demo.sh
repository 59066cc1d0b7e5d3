#!/usr/bin/env bash
# Builds Orvaldi (installing what it needs) and runs it on the bundled demo disk image.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD_DIR:-$ROOT/build}"
"$ROOT/tools/setup.sh" "$BUILD"

IMAGE="$BUILD/demo/demo.img"
if [[ ! -f "$IMAGE" || "$ROOT/demo/demo.img.gz" -nt "$IMAGE" ]]; then
  mkdir -p "$(dirname "$IMAGE")"
  gzip -dc "$ROOT/demo/demo.img.gz" > "$IMAGE"
fi

ORVALDI="$BUILD/src/orvaldi"
echo "== orvaldi info $IMAGE"
"$ORVALDI" info "$IMAGE"
echo
echo "== orvaldi parts $IMAGE"
"$ORVALDI" parts "$IMAGE"
echo
echo "== orvaldi ls $IMAGE 0   (the FAT32 partition, deleted files included)"
"$ORVALDI" ls "$IMAGE" 0
echo
echo "== orvaldi ls $IMAGE 1   (the NTFS partition, deleted files included)"
"$ORVALDI" ls "$IMAGE" 1
