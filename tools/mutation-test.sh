#!/bin/bash
# Mutation test of the sources: makes COUNT damaged variants (seeded, so a run
# can be repeated) of small files that AVIFile, ffmpeg and GStreamer wrote,
# reads each one through the sources of BACKEND in a child process with a time
# limit, and reports every variant that crashed or hung. A variant that does
# so is read again: one that fails both times fails the test; one that reads
# cleanly the second time (a platform failure that comes and goes, such as
# Wine's splitter crashing now and then) is reported and counted apart.
#
#   mutation-test.sh COUNT SEED [OUT_DIR [READER [MEDIA_DIR [BACKEND]]]]
#
# BACKEND is vfw (default), ds, or dsraw (the raw-data readers alone, on
# DirectShow). OUT_DIR keeps the sources, the variants that
# failed and a log line per variant (results.txt).
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
count=${1:?usage: mutation-test.sh COUNT SEED [OUT_DIR [READER [MEDIA_DIR [BACKEND]]]]}
seed=${2:?seed}
out=${3:-$ROOT/build/mutation}
reader=${4:-$ROOT/build/bin/MutationReader.exe}
media=${5:-$ROOT/build/media}
backend=${6:-vfw}
# A DirectShow open waits at most 20 s for a connection that Wine's GStreamer
# splitter never ends (it then fails with a code): the reader opens 4 (dsraw)
# or 8 (ds) streams, and each may take that bound.
case $backend in
    ds) opens=8 ;;
    dsraw) opens=4 ;;
    *) opens=0 ;;
esac
limit=${MUTATION_TIME_LIMIT:-$((30 + 20 * opens))}
only=${MUTATION_ONLY:-}

rm -rf "$out"
mkdir -p "$out/sources" "$out/failed"

# One Wine environment for all runs, unless CTest already started one.
own_env=
if [ -z "${TRELIX_WINE_STATE:-}" ] || [ ! -f "$TRELIX_WINE_STATE/env" ]; then
    export TRELIX_WINE_STATE=$out/wine-env
    "$HERE/wine-env.sh" start "$TRELIX_WINE_STATE" >/dev/null || exit 1
    own_env=1
fi
cleanup() { [ -n "$own_env" ] && "$HERE/wine-env.sh" stop "$TRELIX_WINE_STATE" >/dev/null; }
trap cleanup EXIT

winpath() { echo "Z:$1" | tr / '\\'; }

"$HERE/wine-run.sh" "$reader" write "$(winpath "$out/sources")" >/dev/null 2>&1 \
    || echo "mutation-test: the AVIFile sources could not be written" >&2
for f in rgb24.avi check-ffmpeg-adpcm.avi check-ffmpeg-pal8.avi check-ffmpeg-mp3.avi check-gst-avimux.avi check-ffmpeg.wav; do
    [ -s "$media/$f" ] && cp "$media/$f" "$out/sources/"
done
sources=("$out"/sources/*)
[ -e "${sources[0]}" ] || { echo "mutation-test: no source files" >&2; exit 1; }

# The mutator: deterministic from SEED and the variant number.
python3 - "$seed" "$count" "$out" "${sources[@]}" <<'PY'
import os, random, struct, sys
seed, count, out, sources = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4:]
INTERESTING = [0, 1, 2, 0x7F, 0x80, 0xFF, 0x100, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE]

def chunks(d, at, end, depth, found):
    while at + 8 <= end and at + 8 <= len(d) and depth < 8:
        cid = d[at:at + 4]
        size = struct.unpack_from('<I', d, at + 4)[0]
        found.append((at, cid, size))
        if cid in (b'RIFF', b'LIST') and d[at + 8:at + 12] != b'movi':
            chunks(d, at + 12, min(at + 8 + size, len(d)), depth + 1, found)
        at += 8 + size + (size & 1)
    return found

def value(rng, old):
    choice = rng.random()
    if choice < 0.6:
        return rng.choice(INTERESTING)
    if choice < 0.8:
        return (old + rng.choice([-2, -1, 1, 2, 8, 1000])) & 0xFFFFFFFF
    return rng.getrandbits(32)

def get(d, at):
    return struct.unpack_from('<I', d, at)[0] if at + 4 <= len(d) else 0

def put(d, at, v, width=4):
    if at + width <= len(d):
        d[at:at + width] = (v & ((1 << (8 * width)) - 1)).to_bytes(width, 'little')

def mutate(rng, d):
    kind = rng.choice(['field', 'field', 'size', 'index', 'index', 'truncate', 'bytes'])
    tree = chunks(d, 0, len(d), 0, [])
    headers = [c for c in tree if c[1] in (b'avih', b'strh', b'strf', b'fmt ', b'indx', b'dmlh')]
    if kind == 'field' and headers:
        at, cid, size = rng.choice(headers)
        off = at + 8 + 2 * rng.randrange(max(1, min(size, 1100) // 2))
        width = rng.choice([2, 4])
        old = get(d, off)
        put(d, off, value(rng, old), width)
        return '%s field +%d' % (cid.decode('latin1'), off - at - 8)
    if kind == 'size' and tree:
        at, cid, size = rng.choice(tree)
        put(d, at + 4, value(rng, size))
        return '%s size' % cid.decode('latin1')
    idx = [c for c in tree if c[1] == b'idx1' and c[2] >= 16]
    if kind == 'index' and idx:
        at, cid, size = idx[0]
        entry = rng.randrange(min(size, len(d) - at - 8) // 16 or 1)
        field = rng.randrange(4)
        off = at + 8 + 16 * entry + 4 * field
        old = get(d, off)
        put(d, off, value(rng, old) if field else rng.getrandbits(32))
        return 'idx1 entry %d field %d' % (entry, field)
    if kind == 'truncate' and len(d) > 13:
        cut = rng.randrange(12, len(d))
        del d[cut:]
        return 'cut at %d' % cut
    for _ in range(rng.randrange(1, 8)):
        d[rng.randrange(len(d))] = rng.getrandbits(8)
    return 'bytes'

for n in range(count):
    rng = random.Random(seed * 1000003 + n)
    src = sources[n % len(sources)]
    d = bytearray(open(src, 'rb').read())
    what = [mutate(rng, d) for _ in range(rng.choice([1, 1, 1, 2, 3]))]
    ext = os.path.splitext(src)[1]
    name = os.path.join(out, 'variant-%05d%s' % (n, ext))
    open(name, 'wb').write(d)
    with open(os.path.join(out, 'variants.txt'), 'a') as log:
        log.write('%s %s: %s\n' % (os.path.basename(name), os.path.basename(src), '; '.join(what)))
PY
[ $? -eq 0 ] || { echo "mutation-test: the mutator failed" >&2; exit 1; }

# A variant is read when some stream delivered data; `refused` counts those the
# check refuses, `refusedRead` those of them that the backend read all the same.
# An exit crash is a crash after the reader finished ("end"): the platform's
# teardown while threads that a bounded wait left behind still run.
# One run of the reader on $1: sets rc and result (ok, hang, exit-crash, crash).
readVariant() {
    timeout -k 5 "$limit" "$HERE/wine-run.sh" "$reader" "$backend" "$(winpath "$1")" \
        >"$out/stdout.txt" 2>"$out/stderr.txt"
    rc=$?
    result=ok
    if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
        result=hang
    elif [ $rc -eq 139 ] && tr -d '\r' <"$out/stdout.txt" | grep -qx end; then
        result=exit-crash
    elif [ $rc -ne 0 ] || grep -qE 'Unhandled exception|Assertion failed|Unhandled page fault' "$out/stderr.txt"; then
        result=crash
    fi
}

crashes=0 exitCrashes=0 hangs=0 intermittent=0 refused=0 reads=0 refusedRead=0 total=0
: >"$out/results.txt"
while read -r name rest; do
    name=${name%:}
    file=$out/$name
    number=${name#variant-}
    number=$((10#${number%%.*}))
    if [ -n "$only" ] && ! [[ " $only " == *" $number "* ]]; then
        rm -f "$file"
        continue
    fi
    total=$((total + 1))
    readVariant "$file"
    verdict=$(tr -d '\r' <"$out/stdout.txt" | sed -n 's/^check: //p')
    delivered=0
    grep -qE ', [1-9][0-9]* (delivered|ranges delivered|reads delivered)' "$out/stdout.txt" && delivered=1
    reads=$((reads + delivered))
    if [ -n "$verdict" ] && [ "$verdict" != safe ]; then
        refused=$((refused + 1))
        refusedRead=$((refusedRead + delivered))
    fi
    if [ $result = crash ] || [ $result = hang ]; then
        # Kept with what the failing run printed; a run again tells a variant
        # that fails every time from a platform failure that comes and goes.
        cp "$out/stdout.txt" "$out/failed/$name.out"
        cp "$out/stderr.txt" "$out/failed/$name.err"
        first=$result firstRc=$rc
        readVariant "$file"
        if [ $result = ok ] || [ $result = exit-crash ]; then
            result=intermittent-$first
        else
            result=$first
        fi
        rc=$firstRc
    fi
    case $result in
    hang) hangs=$((hangs + 1)) ;;
    crash) crashes=$((crashes + 1)) ;;
    exit-crash) exitCrashes=$((exitCrashes + 1)) ;;
    intermittent-*) intermittent=$((intermittent + 1)) ;;
    esac
    echo "$name $result check=${verdict:-none} read=$delivered rc=$rc ($rest)" >>"$out/results.txt"
    if [ $result != ok ]; then
        cp "$file" "$out/failed/"
        [ -f "$out/failed/$name.out" ] || cp "$out/stdout.txt" "$out/failed/$name.out"
        { echo "== $name $result ($rest)"
          grep -E 'Assertion|Unhandled|Backtrace|^=?>? *[0-9]+ 0x' "$out/failed/$name.err" "$out/stderr.txt" 2>/dev/null \
              | head -12; } | tee -a "$out/failures.txt"
    fi
    rm -f "$file"
done <"$out/variants.txt"

echo "mutation-test: $total variants (seed $seed, backend $backend): $crashes crashes, $exitCrashes exit crashes, $hangs hangs," \
    "$intermittent failed once and not again, $reads read, $refused refused by the check ($refusedRead of them read)"
[ $crashes -eq 0 ] && [ $hangs -eq 0 ]
