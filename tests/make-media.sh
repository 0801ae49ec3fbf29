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

# Files of other writers that the AVI pre-flight check must pass, and the
# sources of the mutation test.
make check-ffmpeg-mpeg4-pcm.avi ff -f lavfi -i "$(picture)" -f lavfi -i "$(tone)" -c:v mpeg4 -g 10 -c:a pcm_s16le -f avi check-ffmpeg-mpeg4-pcm.avi
make check-ffmpeg-mp3.avi ff -f lavfi -i "$(picture 64x48)" -f lavfi -i "$(tone)" -c:v mjpeg -pix_fmt yuvj420p -c:a libmp3lame -b:a 64k check-ffmpeg-mp3.avi
make check-ffmpeg-pal8.avi ff -f lavfi -i "$(picture 32x24 25 1)" -c:v rawvideo -pix_fmt pal8 check-ffmpeg-pal8.avi
make check-ffmpeg-adpcm.avi ff -f lavfi -i "$(picture 32x24)" -f lavfi -i "$(tone 440 22050)" -c:v rawvideo -pix_fmt bgr24 -c:a adpcm_ima_wav check-ffmpeg-adpcm.avi
make check-ffmpeg.wav ff -f lavfi -i "$(tone 440 22050 1)" -c:a pcm_s16le check-ffmpeg.wav
make check-gst-avimux.avi gst-launch-1.0 -q videotestsrc num-buffers=30 ! video/x-raw,format=I420,width=64,height=48,framerate=25/1 \
    ! jpegenc ! avimux name=mux ! filesink location=check-gst-avimux.avi \
    audiotestsrc num-buffers=20 ! audio/x-raw,format=S16LE,rate=22050,channels=1 ! mux.
