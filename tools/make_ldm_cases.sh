#!/usr/bin/env bash
# Writes dynamic disks with damage the corpus lacks, each a patched copy of a
# real one, and shows what ldmtool makes of them when it is installed.
# Usage: tools/make_ldm_cases.sh OUTDIR [SIMPLE_DISK_IMG_GZ]
#   default disk: ../shared/corpus/ldm/libldm-ldm-2003r2-simple-1.img.gz
# Cases (the configuration runs from sector 100,352 for 2,048 sectors there):
#   privhead-2.12.img   version 2.12 in all three private headers (accepted)
#   privhead-2.13.img   version 2.13 (refused)
#   missing-copy.img    the private-header copy at the configuration's end - 192 zeroed (refused)
#   long-record.img     the volume record "Volume1" claims more data than one block holds (dropped)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${1:?usage: make_ldm_cases.sh OUTDIR [IMG_GZ]}"
SRC="${2:-$ROOT/../shared/corpus/ldm/libldm-ldm-2003r2-simple-1.img.gz}"
CONFIG_START=100352
CONFIG_SIZE=2048
END=$((CONFIG_START + CONFIG_SIZE))
HEADS=(6 $((END - 192)) $((END - 1)))

mkdir -p "$OUT"
BASE="$OUT/.base.img"
gzip -dc "$SRC" >"$BASE"

poke() {  # poke FILE OFFSET HEXBYTES...: writes the bytes at OFFSET
  local file=$1 at=$2
  shift 2
  printf "$(printf '\\x%s' "$@")" | dd of="$file" bs=1 seek="$at" conv=notrunc status=none
}
case_copy() { cp --sparse=always "$BASE" "$OUT/$1"; }

case_copy privhead-2.12.img
for s in "${HEADS[@]}"; do poke "$OUT/privhead-2.12.img" $((s * 512 + 0x0E)) 00 0c; done

case_copy privhead-2.13.img
for s in "${HEADS[@]}"; do poke "$OUT/privhead-2.13.img" $((s * 512 + 0x0E)) 00 0d; done

case_copy missing-copy.img
dd if=/dev/zero of="$OUT/missing-copy.img" bs=512 seek=$((END - 192)) count=1 conv=notrunc status=none

# The volume record's block: type 0x51 and the name "Volume1" after a
# two-byte object id.
case_copy long-record.img
offset=$(python3 - "$BASE" $(((CONFIG_START + 17) * 512)) $((END * 512)) <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
start, end = int(sys.argv[2]) + 512, int(sys.argv[3])
for at in range(start, end - 128, 128):
    if data[at + 0x13] == 0x51 and data[at + 0x1C:at + 0x23] == b'Volume1':
        print(at)
        break
PY
)
poke "$OUT/long-record.img" $((offset + 0x14)) 00 00 00 81
rm -f "$BASE"

if command -v ldmtool >/dev/null; then
  for f in privhead-2.12 privhead-2.13 missing-copy long-record; do
    echo "== $f: ldmtool scan, show volume"
    group=$(ldmtool scan "$OUT/$f.img" 2>/dev/null | tr -d ' []"\n' || true)
    echo "group: ${group:-none}"
    if [[ -n $group ]]; then
      printf 'scan %s\nshow volume %s Volume1\n' "$OUT/$f.img" "$group" | ldmtool 2>/dev/null |
        grep -E '"(name|type|size)"' | tr -d '\n' || echo "no volume Volume1"
      echo
    fi
  done
fi
