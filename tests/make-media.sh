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

# Decoded through DirectShow: one file per container and codec, each with the
# decode ffmpeg makes of it (bgr24, top-down rows) as the reference frames.
make vp8.mkv ff -f lavfi -i "$(picture)" -c:v libvpx -b:v 400k -g 12 vp8.mkv
make mpeg4.mp4 ff -f lavfi -i "$(picture)" -c:v mpeg4 -q:v 3 -bf 0 -g 12 mpeg4.mp4
make mpeg1.mpg ff -f lavfi -i "$(picture)" -c:v mpeg1video -q:v 3 -bf 0 -g 12 -f mpeg mpeg1.mpg
make two-video.avi ff -f lavfi -i "$(picture)" -f lavfi -i "testsrc=size=80x60:rate=25:duration=2" \
    -map 0:v -map 1:v -c:v mjpeg -q:v 3 -pix_fmt yuvj420p two-video.avi
make one-frame.mkv ff -f lavfi -i "$(picture 160x120 25 0.04)" -frames:v 1 -c:v libvpx one-frame.mkv
for f in mjpeg.avi vp8.mkv mpeg4.mp4 rgb24.avi; do
    make "$f.bgr" ff -i "$f" -f rawvideo -pix_fmt bgr24 "$f.bgr"
done
make text.txt sh -c 'echo "not a media file" > text.txt'
make empty.avi touch empty.avi
make truncated.avi sh -c 'head -c 3000 mjpeg.avi > truncated.avi'

# Decoded audio through DirectShow: 44.1 kHz stereo in the containers and
# codecs users have, each with ffmpeg's decode of it as s16le reference.
stereo() { echo "aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*660*t+t*t):s=44100:d=${1:-3}"; }
make dsaudio-tone.wav ff -f lavfi -i "$(stereo)" -c:a pcm_s16le dsaudio-tone.wav
make dsaudio-mp3.avi ff -f lavfi -i "$(stereo)" -c:a libmp3lame -b:a 128k dsaudio-mp3.avi
make dsaudio-vorbis.mkv ff -f lavfi -i "$(stereo)" -c:a libvorbis -q:a 4 dsaudio-vorbis.mkv
make dsaudio-aac.mp4 ff -f lavfi -i "$(stereo)" -c:a aac -b:a 128k dsaudio-aac.mp4
make dsaudio-mp2.mpg ff -f lavfi -i "$(stereo)" -c:a mp2 -b:a 192k -f mpeg dsaudio-mp2.mpg
make dsaudio-pcm.avi ff -f lavfi -i "$(stereo)" -c:a pcm_s16le dsaudio-pcm.avi
for f in dsaudio-tone.wav dsaudio-mp3.avi dsaudio-vorbis.mkv dsaudio-aac.mp4 dsaudio-mp2.mpg dsaudio-pcm.avi; do
    make "$f.s16" ff -i "$f" -f s16le -c:a pcm_s16le -ar 44100 -ac 2 "$f.s16"
done
