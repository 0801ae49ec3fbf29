#!/bin/bash
# Files written by the library read correctly in another program: makes a
# small AVI, converts it decoded and by direct stream copy, and checks all
# three with ffprobe (streams, codecs, frame and sample counts, rates,
# duration) and
# ffmpeg (the same pictures and sound in each).
#
#   independent-reader.sh CONVERT_BENCHMARK_EXE WORK_DIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
exe=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
win() { echo "Z:${1//\//\\}"; }
run() { "$HERE/../tools/wine-run.sh" "$exe" "$@" >/dev/null; }

run make "$(win "$work/source.avi")" 2 64 48
run decoded "$(win "$work/source.avi")" "$(win "$work/decoded.avi")"
run copy "$(win "$work/source.avi")" "$(win "$work/copy.avi")"

failures=0
expect() {
    if [ "$2" != "$3" ]; then
        echo "FAIL $1: got '$2', expected '$3'"
        failures=$((failures + 1))
    fi
}
for name in source decoded copy; do
    file=$work/$name.avi
    streams=$(ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 "$file" | tr '\n' ' ')
    expect "$name streams" "$streams" "rawvideo,video pcm_s16le,audio "
    video=$(ffprobe -v error -select_streams v -show_entries stream=width,height,r_frame_rate,nb_frames -of csv=p=0 "$file")
    expect "$name video" "$video" "64,48,25/1,50"
    audio=$(ffprobe -v error -select_streams a -show_entries stream=sample_rate,channels,nb_frames -of csv=p=0 "$file")
    expect "$name audio" "$audio" "44100,2,88200"
    duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
    expect "$name duration" "$duration" "2.000000"
    for kind in v a; do
        sum=$(ffmpeg -v error -i "$file" -map "0:$kind" -f md5 - 2>&1)
        if [ "$name" = source ]; then
            eval "source_$kind=\$sum"
        else
            eval "expect \"$name $kind content\" \"\$sum\" \"\$source_$kind\""
        fi
    done
done
echo "checked source, decoded and copy: $failures failure(s)"
[ "$failures" -eq 0 ]
