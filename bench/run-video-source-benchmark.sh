#!/bin/bash
# Decode rate of the video sources, in one run on this machine: the
# DirectShow source on 640x480 MJPEG, VP8 and MPEG-4 files (SECONDS long, 30
# by default), with and without the graph's reference clock, and the cost of
# 100 random requests; the DirectShow and VfW sources on the same
# uncompressed and Cinepak AVIs; the bare DirectShow graph on the same files
# (bench/BareGraphBenchmark.cpp), the ceiling of the DirectShow source.
#
#   bench/run-video-source-benchmark.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath -m "${1:-$ROOT/build}")
LENGTH=${2:-30}
"$ROOT/tools/install-deps.sh"
"$ROOT/tools/build.sh" "$BUILD" >/dev/null

DATA=$BUILD/bench-video
rm -rf "$DATA" && mkdir -p "$DATA"
win() { echo "Z:${1//\//\\}"; }
run() { "$ROOT/tools/wine-run.sh" "$BUILD/bin/VideoSourceBenchmark.exe" "$@" 2>/dev/null; }
bare() { "$ROOT/tools/wine-run.sh" "$BUILD/bin/BareGraphBenchmark.exe" "$@" 2>/dev/null; }
ff() { ffmpeg -nostdin -v error -y "$@"; }
picture() { echo "testsrc2=size=640x480:rate=25:duration=$1"; }

ff -f lavfi -i "$(picture "$LENGTH")" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p "$DATA/mjpeg.avi"
ff -f lavfi -i "$(picture "$LENGTH")" -c:v libvpx -b:v 2M -g 50 "$DATA/vp8.mkv"
ff -f lavfi -i "$(picture "$LENGTH")" -c:v mpeg4 -q:v 3 -g 50 "$DATA/mpeg4.mp4"
# Uncompressed frames are large (0.9 MB each): a shorter file does.
ff -f lavfi -i "$(picture 8)" -c:v rawvideo -pix_fmt bgr24 "$DATA/rgb24.avi"
# ffmpeg's Cinepak encoder takes seconds per 640x480 frame: a small clip.
cinepak=
if ff -f lavfi -i "testsrc2=size=320x240:rate=25:duration=2" -c:v cinepak "$DATA/cinepak.avi"; then
    cinepak=$DATA/cinepak.avi
fi

"$ROOT/tools/wine-env.sh" start "$BUILD/wine-env"
trap '"$ROOT/tools/wine-env.sh" stop "$BUILD/wine-env"' EXIT
export TRELIX_WINE_STATE=$BUILD/wine-env

for f in mjpeg.avi vp8.mkv mpeg4.mp4; do
    run sequential "$(win "$DATA/$f")" ds
    run sequential "$(win "$DATA/$f")" ds clock
    run random "$(win "$DATA/$f")" 100
    bare "$(win "$DATA/$f")"
done
for f in "$DATA/rgb24.avi" $cinepak; do
    run sequential "$(win "$f")" ds
    run sequential "$(win "$f")" vfw
    bare "$(win "$f")"
done
[ -n "$cinepak" ] || echo "Cinepak: ffmpeg could not encode it; not measured"
rm -rf "$DATA"
