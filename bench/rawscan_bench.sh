#!/usr/bin/env bash
# Times the raw scan of a 2 GiB mixed disk image against a plain read, PhotoRec and foremost, and counts the samples each carver gets back byte for byte on the carving fixture.
#
# Usage: bench/rawscan_bench.sh [IMG] [ORVALDI_BIN]
#
# IMG defaults to /tmp/rawscanbench.img, made by
# bench/make_rawscan_bench_image.sh; the list of sample copies it writes
# next to the image (IMG with .img replaced by .files.tsv) is used to check
# what the tools found. ORVALDI_BIN defaults to build/src/orvaldi.
#
# The image is read once to warm the page cache. Then every command runs
# once untimed and RUNS times (default 3) timed; the best time counts. Each
# run of a tool that saves files writes into an empty folder under TARGET
# (default /dev/shm, a tmpfs), deleted between runs outside the timing.
#
#   plain read     dd if=IMG of=/dev/null bs=4M
#   raw scan       orvaldi rawscan IMG --json > /dev/null   (saves nothing)
#   carve          orvaldi carve IMG --to DIR               (the same sweep, and
#                                                            saves what it finds)
#   PhotoRec       photorec /log /d DIR /cmd IMG partition_none,blocksize,512,
#                  options,mode_ext2,fileopt,everything,enable,search
#                  (whole disk, every file family, a header test at every
#                  sector), and the same with only the nine families that
#                  orvaldi carves (jpg pdf zip mp3 mpg riff mov rar doc)
#   foremost       foremost -i IMG -o DIR (built-in types, every byte offset),
#                  and foremost -q (headers on 512-byte boundaries only)
#
# Speeds are MB/s (10^6 bytes) of image bytes. Each line also gives the CPU
# time (user + system) of the best run and the peak RSS. Ratios: raw scan /
# read, raw scan / PhotoRec (all families), carve / PhotoRec.
#
# After the timings, the outputs of the last runs are checked against the
# list of sample copies: how many of the copies the rules accept orvaldi
# found at their start sector with the expected size (carved_size), and how
# many copies PhotoRec and foremost saved byte for byte (a file named by the
# copy's start sector with the copy's sha256).
#
# Last, carving accuracy on the 80 MiB carving fixture
# (tests/fixtures/carve/carve-disk.img.gz, expanded under TARGET): orvaldi
# carve, PhotoRec with and without blocksize,512 and foremost, each counted
# against the fixture's manifest. orvaldi: the first `size` bytes of
# "Extra Found Files"/NAME against the sample's sha256 (some formats carve
# longer or shorter by rule: carved_size); the others: any saved file whose
# sha256 is the sample's. Needs testdisk, foremost and time.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
IMG=$(realpath -m "${1:-/tmp/rawscanbench.img}")
BIN=${2:-$ROOT/build/src/orvaldi}
RUNS=${RUNS:-3}
TARGET=${TARGET:-/dev/shm}
FILES="${IMG%.img}.files.tsv"
FIXTURE="$ROOT/tests/fixtures/carve/carve-disk"
export LC_ALL=C.UTF-8

PR_ALL=partition_none,blocksize,512,options,mode_ext2,fileopt,everything,enable,search
PR_NINE=partition_none,blocksize,512,options,mode_ext2,fileopt,everything,disable
for f in jpg pdf zip mp3 mpg riff mov rar doc; do PR_NINE+=",$f,enable"; done
PR_NINE+=",search"
PR_DEFAULT=partition_none,options,mode_ext2,fileopt,everything,enable,search

# shellcheck source=tools/bench_lib.sh
source "$ROOT/tools/bench_lib.sh"

[[ -r $IMG ]] || die "cannot read $IMG (make it with bench/make_rawscan_bench_image.sh)"
[[ -x $BIN ]] || die "$BIN is not an executable file"
command -v photorec >/dev/null || die "photorec not found (apt-get install testdisk)"
command -v foremost >/dev/null || die "foremost not found (apt-get install foremost)"
[[ -x /usr/bin/time ]] || die "/usr/bin/time not found (apt-get install time)"
[[ -d $TARGET ]] || die "target folder $TARGET does not exist"
[[ -r $FIXTURE.img.gz && -r $FIXTURE.files.tsv ]] || die "cannot read $FIXTURE.img.gz and .files.tsv"

WORK=$(mktemp -d "$TARGET/orvaldi-rawscanbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
OUT="$WORK/out"
img_bytes=$(stat -c %s "$IMG")


# line LABEL NAME - best time, MB/s of the image, CPU time of the best run, peak RSS and every run
line() {
  printf "  %-64s best %7s s %6s MB/s  cpu %6s s  peak RSS %6s MiB  runs: %s\n" \
    "$1" "$(best_s "$2")" "$(MB "$img_bytes" "$(best_s "$2")")" "$(best_cpu "$2")" "$(peak_mib "$2")" "$(runs_s "$2")"
}
speed() { MB "$img_bytes" "$(best_s "$1")"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f%%", 100 * a / b }'; }
saved() { printf '%s files, %s MB' "$(find "$OUT" -type f -not -name '*.log' -not -name audit.txt | wc -l)" \
  "$(du -sb --exclude=audit.txt "$OUT" | awk '{ printf "%.0f", $1 / 1e6 }')"; }

# ---------------------------------------------------------------- checks (python)
cat >"$WORK/check.py" <<'PY'
import hashlib, json, os, re, sys

def rows(path):
    with open(path, encoding="utf-8") as f:
        head = f.readline().rstrip("\n").split("\t")
        return [dict(zip(head, l.rstrip("\n").split("\t"))) for l in f]

def sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for b in iter(lambda: f.read(1 << 20), b""):
            h.update(b)
    return h.hexdigest()

def files(d):
    for top, _, names in os.walk(d):
        for n in names:
            if n not in ("audit.txt", "report.xml") and not n.endswith(".log"):
                yield os.path.join(top, n)

def by_sector(d, pattern):
    """Saved files by the start sector in their name (PhotoRec f0002048.jpg, foremost 00002048.jpg)."""
    out = {}
    for p in files(d):
        m = re.match(pattern, os.path.basename(p))
        if m:
            out.setdefault(int(m.group(1)), []).append(p)
    return out

def disk(manifest, scan_json, tool, d):
    """The big image: orvaldi's JSON, or a PhotoRec/foremost output folder, against the copies list."""
    man = rows(manifest)
    accepted = [r for r in man if r["expect"] == "carved"]
    if tool == "orvaldi":
        carved = {c["start"]: c for c in json.load(open(scan_json))["carved"]}
        starts = {int(r["start_sector"]) for r in man}
        ok = [r for r in accepted if carved.get(int(r["start_sector"]), {}).get("size") == int(r["carved_size"])]
        other = [r for r in accepted if int(r["start_sector"]) in carved and r not in ok]
        missed = [r for r in accepted if int(r["start_sector"]) not in carved]
        # a copy missed because an earlier carving's extent covers its start: the sweep moves past a carved file
        ends = sorted((c["start"], c["start"] + (c["size"] + 511) // 512) for c in carved.values())
        covered = [r for r in missed if any(a < int(r["start_sector"]) < b for a, b in ends)]
        refused = [r for r in man if r["expect"] != "carved" and int(r["start_sector"]) in carved]
        extra = [c for s, c in carved.items() if s not in starts]
        print(f"  orvaldi rawscan: {len(carved)} carved; {len(ok)} of the {len(accepted)} copies the rules accept at "
              f"their start with the expected size, {len(other)} with another size, {len(missed)} missed "
              f"({len(covered)} of them inside an earlier carving's extent); {len(refused)} of the "
              f"{len(man) - len(accepted)} copies the rules turn down carved; {len(extra)} other carvings")
        for r in refused:
            c = carved[int(r["start_sector"])]
            print(f"    turned down by the rules, carved all the same: {r['sample']} ({r['where']}) at {r['start_sector']}: {c['size']} bytes")
        for r in other:
            c = carved[int(r["start_sector"])]
            print(f"    other size: {r['sample']} ({r['where']}) at {r['start_sector']}: {c['size']} bytes, expected {r['carved_size']}")
        from collections import Counter
        if missed:
            print("    missed: " + ", ".join(f"{k} {v}" for k, v in sorted(Counter(f"{r['sample']} ({r['where']})" for r in missed).items())))
        if extra:
            print("    other carvings: " + ", ".join(f"{k} {v}" for k, v in sorted(Counter(c["name"].rsplit(".", 1)[-1] for c in extra).items())))
        return
    saved = by_sector(d, r"f(\d+)" if tool == "photorec" else r"(\d+)\.")
    exact = sum(1 for r in man if any(sha(p) == r["sha256"] for p in saved.get(int(r["start_sector"]), [])))
    exact_acc = sum(1 for r in accepted if any(sha(p) == r["sha256"] for p in saved.get(int(r["start_sector"]), [])))
    print(f"  {tool}: {exact} of the {len(man)} copies saved byte for byte ({exact_acc} of the {len(accepted)} "
          f"that orvaldi's rules accept)")

def fixture(manifest, tool, d):
    man = rows(manifest)
    accepted = [r for r in man if r["expect"] == "carved"]
    lines, exact = [], 0
    if tool == "orvaldi":
        folder = os.path.join(d, "Extra Found Files")
        present = set(os.listdir(folder)) if os.path.isdir(folder) else set()
        whole = by_rule = 0
        for r in man:
            size, want = int(r["size"]), int(r["carved_size"])
            if r["name"] == "-":
                stray = [n for n in present if n.split(".")[0] == r["start_sector"]]
                lines.append(f"{r['note'].split(':')[0]}: " + ("turned down, as the rules say" if not stray else f"SAVED as {stray[0]}"))
                continue
            p = os.path.join(folder, r["name"])
            if not os.path.exists(p):
                lines.append(f"{r['note'].split(':')[0]}: NOT SAVED")
                continue
            data = open(p, "rb").read()
            ok = hashlib.sha256(data[:size]).hexdigest() == r["sha256"] and len(data) >= size
            exact += ok
            whole += ok and len(data) == size
            by_rule += len(data) == want
            how = "exact" if ok and len(data) == size else f"exact + {len(data) - size} bytes (rule)" if ok else \
                  f"{len(data)} bytes, {size - len(data)} short of the file (rule)" if len(data) == want else f"DIFFERS ({len(data)} bytes)"
            lines.append(f"{r['note'].split(':')[0]}: {how}")
        print(f"  orvaldi carve: {exact} of {len(man)} samples byte-exact in their first `size` bytes "
              f"({whole} with nothing after), {by_rule} of the {len(accepted)} the rules accept saved at the "
              f"size the rules give, {len(present)} files saved")
    else:
        sums = {}
        for p in files(d):
            sums.setdefault(sha(p), []).append(os.path.basename(p))
        for r in man:
            got = sums.get(r["sha256"])
            exact += bool(got)
            lines.append(f"{r['note'].split(':')[0]}: " + (f"exact ({got[0]})" if got else "-"))
        exact_acc = sum(1 for r in accepted if r["sha256"] in sums)
        print(f"  {tool}: {exact} of {len(man)} samples saved byte for byte ({exact_acc} of the {len(accepted)} "
              f"orvaldi's rules accept), {sum(len(v) for v in sums.values())} files saved")
    if os.environ.get("VERBOSE"):
        for l in lines:
            print("    " + l)

if __name__ == "__main__":
    if sys.argv[1] == "disk":
        disk(*sys.argv[2:6])
    else:
        fixture(*sys.argv[2:5])
PY
check() { python3 "$WORK/check.py" "$@"; }

# ---------------------------------------------------------------- timings
cat "$IMG" >/dev/null   # warm the page cache
printf 'image: %s (%s bytes); outputs on %s (%s); best of %s runs after one untimed run; 1 MB = 10^6 bytes\n' \
  "$IMG" "$img_bytes" "$TARGET" "$(df --output=fstype "$WORK" | tail -n1)" "$RUNS"
[[ -r $FILES ]] || printf '  (no %s: what the tools found is not checked)\n' "$FILES"

timed read dd if="$IMG" of=/dev/null bs=4M
timed rawscan "$BIN" rawscan "$IMG" --json
cp "$WORK/rawscan.out" "$WORK/rawscan.json"
timed carve "$BIN" carve "$IMG" --to "$OUT"
carve_saved=$(saved)
# PhotoRec writes OUT/recup.1, recup.2, ... (500 files each) and its log into OUT
# shellcheck disable=SC2016
timed photorec bash -c 'cd "$1" && photorec /log /d "$1/recup" /cmd "$2" "$3"' _ "$OUT" "$IMG" "$PR_ALL"
photorec_saved=$(saved)
[[ -r $FILES ]] && check disk "$FILES" - photorec "$OUT" >"$WORK/photorec.check"
# shellcheck disable=SC2016
timed photorec9 bash -c 'cd "$1" && photorec /log /d "$1/recup" /cmd "$2" "$3"' _ "$OUT" "$IMG" "$PR_NINE"
photorec9_saved=$(saved)
# foremost wants to create its output folder itself
# shellcheck disable=SC2016
timed foremost bash -c 'rmdir "$1" && foremost -i "$2" -o "$1"' _ "$OUT" "$IMG"
foremost_saved=$(saved)
[[ -r $FILES ]] && check disk "$FILES" - foremost "$OUT" >"$WORK/foremost.check"
# shellcheck disable=SC2016
timed foremostq bash -c 'rmdir "$1" && foremost -q -i "$2" -o "$1"' _ "$OUT" "$IMG"
foremostq_saved=$(saved)
rm -rf "$OUT"

line "dd if=IMG of=/dev/null bs=4M" read
line "orvaldi rawscan IMG --json > /dev/null" rawscan
line "orvaldi carve IMG --to DIR  ($carve_saved)" carve
line "photorec, all families, blocksize 512  ($photorec_saved)" photorec
line "photorec, the nine families, blocksize 512  ($photorec9_saved)" photorec9
line "foremost -i IMG -o DIR  ($foremost_saved)" foremost
line "foremost -q -i IMG -o DIR  ($foremostq_saved)" foremostq
o_mb=$(speed rawscan)
for n in read rawscan carve photorec photorec9 foremost foremostq; do figure "${n}_mbs" "$(speed "$n")"; done
printf '  rawscan / read %s;  rawscan / photorec %sx;  carve / photorec %sx;  rawscan / photorec (nine) %sx;  rawscan / foremost %sx;  rawscan / foremost -q %sx\n' \
  "$(pct "$o_mb" "$(speed read)")" "$(ratio "$o_mb" "$(speed photorec)")" "$(ratio "$(speed carve)" "$(speed photorec)")" \
  "$(ratio "$o_mb" "$(speed photorec9)")" "$(ratio "$o_mb" "$(speed foremost)")" "$(ratio "$o_mb" "$(speed foremostq)")"

if [[ -r $FILES ]]; then
  echo "found on the image ($(($(wc -l <"$FILES") - 1)) sample copies, $(awk -F'\t' 'NR > 1 && $6 == "carved"' "$FILES" | wc -l) of them accepted by orvaldi's rules):"
  check disk "$FILES" "$WORK/rawscan.json" orvaldi -
  cat "$WORK/photorec.check" "$WORK/foremost.check"
fi

# ---------------------------------------------------------------- accuracy on the fixture
CD="$WORK/carve-disk.img"
gzip -dc "$FIXTURE.img.gz" >"$CD"
echo "carving accuracy on $(basename "$FIXTURE").img ($(($(wc -l <"$FIXTURE.files.tsv") - 1)) samples, $(awk -F'\t' 'NR > 1 && $6 == "carved"' "$FIXTURE.files.tsv" | wc -l) accepted by orvaldi's rules):"
mkdir -p "$OUT"
"$BIN" carve "$CD" --to "$OUT" >/dev/null
check fixture "$FIXTURE.files.tsv" orvaldi "$OUT"
rm -rf "$OUT"
for variant in "blocksize 512:$PR_ALL" "block size guessed:$PR_DEFAULT"; do
  mkdir -p "$OUT"
  (cd "$OUT" && photorec /log /d "$OUT/recup" /cmd "$CD" "${variant#*:}" >/dev/null 2>&1)
  check fixture "$FIXTURE.files.tsv" "photorec (${variant%%:*})" "$OUT"
  rm -rf "$OUT"
done
foremost -i "$CD" -o "$OUT" >/dev/null 2>&1
check fixture "$FIXTURE.files.tsv" "foremost" "$OUT"
