#!/bin/bash
# Conversion throughput, in one run on this machine: makes a 640x480 24-bit
# 25 fps AVI with 44.1 kHz stereo PCM (SECONDS long, 60 by default), converts
# it decoded and by direct stream copy, through the library alone, through
# the console converter (VandrelCmd.exe, timed from outside like its library
# counterpart) and through the converter's own run (ConversionRun, as Vandrel
# drives it, preview off and on), and compares with copying the file with cp
# and with "ffmpeg -i in.avi -c copy". The run with the preview off may exceed
# the library-only loop by at most 10 % (exit status 1 if not).
#
#   bench/run-benchmark.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
LENGTH=${2:-60}
"$ROOT/tools/install-deps.sh"
"$ROOT/tools/build.sh" "$BUILD" >/dev/null

DATA=$BUILD/bench-data
rm -rf "$DATA" && mkdir -p "$DATA"
win() { echo "Z:${1//\//\\}"; }
run() { "$ROOT/tools/wine-run.sh" "$BUILD/bin/ConvertBenchmark.exe" "$@"; }
now() { date +%s.%N; }
field() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<"$2"; }

"$ROOT/tools/wine-env.sh" start "$BUILD/wine-env"
trap '"$ROOT/tools/wine-env.sh" stop "$BUILD/wine-env"' EXIT
export TRELIX_WINE_STATE=$BUILD/wine-env

run make "$(win "$DATA/source.avi")" "$LENGTH" 640 480
size=$(stat -c %s "$DATA/source.avi")
sync

# Each written file goes before the next run: a few GB of disk are enough.
console() { "$ROOT/tools/wine-run.sh" "$BUILD/bin/VandrelCmd.exe" --output-backend vfw --quiet "$@" >/dev/null; }
since() { echo "$(now) - $1" | bc -l; }
sync
start=$(now); decoded=$(run decoded "$(win "$DATA/source.avi")" "$(win "$DATA/decoded.avi")"); library_decoded=$(since "$start")
rm -f "$DATA/decoded.avi"; sync
start=$(now); console "$(win "$DATA/source.avi")" "$(win "$DATA/decoded.avi")"; console_decoded=$(since "$start")
rm -f "$DATA/decoded.avi"; sync
start=$(now); copy=$(run copy "$(win "$DATA/source.avi")" "$(win "$DATA/copy.avi")"); library_copy=$(since "$start")
rm -f "$DATA/copy.avi"; sync
start=$(now); console --copy-video --copy-audio "$(win "$DATA/source.avi")" "$(win "$DATA/copy.avi")"
console_copy=$(since "$start")
rm -f "$DATA/copy.avi"
program=()
for job in decoded copy; do
    for preview in off on; do
        sync
        program+=("$(run program $job $preview "$(win "$DATA/source.avi")" "$(win "$DATA/program.avi")")")
        rm -f "$DATA/program.avi"
    done
done

# Like the conversions, timed without waiting for the data to reach the disk.
sync
start=$(now); cp "$DATA/source.avi" "$DATA/cp.avi"; cp_seconds=$(echo "$(now) - $start" | bc -l)
sync
start=$(now); ffmpeg -v error -y -i "$DATA/source.avi" -c copy "$DATA/ffmpeg.avi"
ffmpeg_seconds=$(echo "$(now) - $start" | bc -l)

echo "$decoded"
echo "$copy"
printf 'cp: seconds=%.3f MBps=%.1f\n' "$cp_seconds" "$(echo "$size / $cp_seconds / 1000000" | bc -l)"
printf 'ffmpeg -c copy: seconds=%.3f MBps=%.1f\n' "$ffmpeg_seconds" "$(echo "$size / $ffmpeg_seconds / 1000000" | bc -l)"
for name in decoded copy; do
    line=${!name}
    seconds=$(field seconds "$line")
    printf '%s: %.2f x the time of cp, %.2f x the time of ffmpeg -c copy\n' "$name" \
        "$(echo "$seconds / $cp_seconds" | bc -l)" "$(echo "$seconds / $ffmpeg_seconds" | bc -l)"
done
for name in decoded copy; do
    library=library_$name console=console_$name
    printf 'VandrelCmd %s: seconds=%.3f, library alone %.3f (whole processes): %+.1f %%\n' "$name" "${!console}" \
        "${!library}" "$(echo "(${!console} - ${!library}) * 100 / ${!library}" | bc -l)"
done
over=0
for line in "${program[@]}"; do
    echo "$line"
    job=$(sed 's/^program \([a-z]*\).*/\1/' <<<"$line")
    ratio=$(echo "$(field seconds "$line") / $(field seconds "${!job}")" | bc -l)
    printf '  %.3f x the time of the library-only %s loop\n' "$ratio" "$job"
    if [[ $line == *"preview off"* ]] && [ "$(echo "$ratio > 1.10" | bc -l)" = 1 ]; then
        echo "  more than 10 % over the library-only loop"
        over=1
    fi
done
rm -rf "$DATA"
exit $over
