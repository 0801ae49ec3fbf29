#!/bin/bash
# Makes the test media that other programs than AVIFile write (containers and
# codecs users have), with Debian's ffmpeg and gst-launch-1.0, in OUT_DIR.
# Test programs find the folder through TRELIX_MEDIA_DIR.
#
#   make-media.sh OUT_DIR
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
# A moving test picture with a frame counter, so that every frame differs.
picture() { echo "testsrc2=size=${1:-160x120}:rate=${2:-25}:duration=${3:-2}"; }
tone() { echo "sine=frequency=${1:-440}:sample_rate=${2:-44100}:duration=${3:-2}"; }

# Each file once: a later run of the tests reuses what is there.
make() {
    local name=$1; shift
    [ -s "$name" ] && return 0
    "$@" || { rm -f "$name"; echo "make-media: could not make $name" >&2; return 1; }
}

make mjpeg.avi ff -f lavfi -i "$(picture)" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p mjpeg.avi
make rgb24.avi ff -f lavfi -i "$(picture 64x48)" -c:v rawvideo -pix_fmt bgr24 rgb24.avi
