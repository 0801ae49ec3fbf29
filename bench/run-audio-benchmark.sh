#!/bin/bash
# Reading decoded audio through the DirectShow audio source, one sample per
# call (as the converter reads it) and in pieces, on SECONDS (60 by default)
# of 44.1 kHz stereo in PCM WAV, PCM and Vorbis in Matroska, Vorbis in Ogg and
# MP3, made with ffmpeg.
#
#   bench/run-audio-benchmark.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
LENGTH=${2:-60}
"$ROOT/tools/build.sh" "$BUILD" >/dev/null

DATA=$BUILD/bench-audio
rm -rf "$DATA" && mkdir -p "$DATA"
win() { echo "Z:${1//\//\\}"; }
tone="aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*660*t+t*t):s=44100:d=$LENGTH"
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "$tone" "$@"; }
ff -c:a pcm_s16le "$DATA/pcm.wav"
ff -c:a pcm_s16le "$DATA/pcm.mkv"
ff -c:a libvorbis -q:a 4 "$DATA/vorbis.mkv"
ff -c:a libvorbis -q:a 4 "$DATA/vorbis.ogg"
ff -c:a libmp3lame -b:a 128k "$DATA/mp3.mp3"

"$ROOT/tools/wine-env.sh" start "$BUILD/wine-env"
trap '"$ROOT/tools/wine-env.sh" stop "$BUILD/wine-env"' EXIT
export TRELIX_WINE_STATE=$BUILD/wine-env
for f in pcm.wav pcm.mkv vorbis.mkv vorbis.ogg mp3.mp3; do
    "$ROOT/tools/wine-run.sh" "$BUILD/bin/AudioReadBenchmark.exe" "$(win "$DATA/$f")" | sed "s/^/$f, /"
done
