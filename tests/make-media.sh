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

# Container probe: files with known numbers of video and audio streams. Each is
# checked with ffprobe after it is made, so the tests' expected counts are the
# file's own.
probe_streams() {
    ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$1" | sort | uniq -c |
        awk '{n[$2]=$1} END {printf "%d %d\n", n["video"], n["audio"]}'
}
probe_make() {
    local name=$1 expected="$2 $3"; shift 3
    make "$name" "$@"
    local found
    found=$(probe_streams "$name")
    [ "$found" = "$expected" ] ||
        { echo "make-media: $name has $found (video audio), expected $expected" >&2; rm -f "$name"; return 1; }
}
# N inputs for ffmpeg: pictures of different sizes, tones of different pitches,
# and the maps that keep every one of them as its own stream.
probe_videos() { local i; for i in $(seq "$1"); do echo -f lavfi -i "$(picture 64x$((40 + 8 * i)) 25 1)"; done; }
probe_tones() { local i; for i in $(seq "$1"); do echo -f lavfi -i "$(tone $((300 * i)) 22050 1)"; done; }
probe_maps() { local i; for i in $(seq 0 $(($1 - 1))); do echo -map $i; done; }

probe_make probe-1v1a.avi 1 1 ff $(probe_videos 1) $(probe_tones 1) $(probe_maps 2) \
    -c:v mjpeg -pix_fmt yuvj420p -c:a pcm_s16le probe-1v1a.avi
probe_make probe-2v2a.avi 2 2 ff $(probe_videos 2) $(probe_tones 2) $(probe_maps 4) \
    -c:v mjpeg -pix_fmt yuvj420p -c:a pcm_s16le probe-2v2a.avi
probe_make probe-5v.avi 5 0 ff $(probe_videos 5) $(probe_maps 5) \
    -c:v mjpeg -pix_fmt yuvj420p probe-5v.avi
probe_make probe-tone.wav 0 1 ff -f lavfi -i "$(tone 440 22050 1)" -c:a pcm_s16le probe-tone.wav
probe_make probe-1v1a.mkv 1 1 ff $(probe_videos 1) $(probe_tones 1) $(probe_maps 2) \
    -c:v libvpx -b:v 200k -c:a libvorbis probe-1v1a.mkv
make probe-text.txt sh -c 'printf "Not a media file.\n" > probe-text.txt'
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
# Decoded through DirectShow: one file per container and codec, each with the
# decode ffmpeg makes of it (bgr24, top-down rows) as the reference frames.
make vp8.mkv ff -f lavfi -i "$(picture)" -c:v libvpx -b:v 400k -g 12 vp8.mkv
make mpeg4.mp4 ff -f lavfi -i "$(picture)" -c:v mpeg4 -q:v 3 -bf 0 -g 12 mpeg4.mp4
make mpeg1.mpg ff -f lavfi -i "$(picture)" -c:v mpeg1video -q:v 3 -bf 0 -g 12 -f mpeg mpeg1.mpg
make two-video.avi ff -f lavfi -i "$(picture)" -f lavfi -i "testsrc=size=80x60:rate=25:duration=2" \
    -map 0:v -map 1:v -c:v mjpeg -q:v 3 -pix_fmt yuvj420p two-video.avi
make one-frame.mkv ff -f lavfi -i "$(picture 160x120 25 0.04)" -frames:v 1 -c:v libvpx one-frame.mkv
# VP8 in Matroska whose caps say no frame rate (framerate 0/1, no default
# duration): the splitter's format then has no AvgTimePerFrame.
make no-rate.mkv gst-launch-1.0 -q videotestsrc num-buffers=50 pattern=ball \
    ! video/x-raw,width=160,height=120,framerate=25/1 ! videoconvert ! vp8enc \
    ! capssetter caps="video/x-vp8,framerate=0/1" ! matroskamux ! filesink location=no-rate.mkv
for f in mjpeg.avi vp8.mkv mpeg4.mp4 mpeg1.mpg no-rate.mkv rgb24.avi; do
    make "$f.bgr" ff -i "$f" -f rawvideo -pix_fmt bgr24 "$f.bgr"
done
make text.txt sh -c 'echo "not a media file" > text.txt'
make empty.avi touch empty.avi
make truncated.avi sh -c 'head -c 3000 mjpeg.avi > truncated.avi'
# An interrupted download: the first 60 % of the MJPEG file, with ffmpeg's
# decode of what is left as its reference frames.
make cut-download.avi sh -c 'head -c $(($(stat -c %s mjpeg.avi) * 6 / 10)) mjpeg.avi > cut-download.avi'
make cut-download.avi.bgr ff -i cut-download.avi -f rawvideo -pix_fmt bgr24 cut-download.avi.bgr

# Decoded audio through DirectShow: 44.1 kHz stereo in the containers and
# codecs users have, each with ffmpeg's decode of it as s16le reference.
stereo() { echo "aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*660*t+t*t):s=44100:d=${1:-3}"; }
make dsaudio-tone.wav ff -f lavfi -i "$(stereo)" -c:a pcm_s16le dsaudio-tone.wav
make dsaudio-mp3.avi ff -f lavfi -i "$(stereo)" -c:a libmp3lame -b:a 128k dsaudio-mp3.avi
make dsaudio-vorbis.mkv ff -f lavfi -i "$(stereo)" -c:a libvorbis -q:a 4 dsaudio-vorbis.mkv
make dsaudio-aac.mp4 ff -f lavfi -i "$(stereo)" -c:a aac -b:a 128k dsaudio-aac.mp4
make dsaudio-mp2.mpg ff -f lavfi -i "$(stereo)" -c:a mp2 -b:a 192k -f mpeg dsaudio-mp2.mpg
make dsaudio-pcm.avi ff -f lavfi -i "$(stereo)" -c:a pcm_s16le dsaudio-pcm.avi
make cut-download-pcm.avi sh -c 'head -c $(($(stat -c %s dsaudio-pcm.avi) * 6 / 10)) dsaudio-pcm.avi > cut-download-pcm.avi'
for f in cut-download-pcm.avi dsaudio-tone.wav dsaudio-mp3.avi dsaudio-vorbis.mkv dsaudio-aac.mp4 dsaudio-mp2.mpg dsaudio-pcm.avi; do
    make "$f.s16" ff -i "$f" -f s16le -c:a pcm_s16le -ar 44100 -ac 2 "$f.s16"
done

# mends-: ADPCM read at random through AVIFile and ACM, in the containers and
# layouts ffmpeg writes (WAV and AVI, IMA and MS ADPCM, mono and stereo), each
# with ffmpeg's decode as s16le reference. A sweep, so that frames misplaced
# by a few samples cannot match.
sweep() { echo "aevalsrc=0.5*sin(2*PI*(300+300*t)*t)|0.4*sin(2*PI*(900-200*t)*t):s=22050:d=3"; }
make mends-ima-mono.wav ff -f lavfi -i "$(sweep)" -ac 1 -c:a adpcm_ima_wav mends-ima-mono.wav
make mends-ms-stereo.wav ff -f lavfi -i "$(sweep)" -c:a adpcm_ms mends-ms-stereo.wav
make mends-ima-stereo.avi ff -f lavfi -i "$(picture 32x24 25 3)" -f lavfi -i "$(sweep)" \
    -c:v rawvideo -pix_fmt bgr24 -c:a adpcm_ima_wav mends-ima-stereo.avi
make mends-ms-mono.avi ff -f lavfi -i "$(picture 32x24 25 3)" -f lavfi -i "$(sweep)" \
    -ac 1 -c:v rawvideo -pix_fmt bgr24 -c:a adpcm_ms mends-ms-mono.avi
for f in mends-ima-mono.wav mends-ms-stereo.wav mends-ima-stereo.avi mends-ms-mono.avi; do
    make "$f.s16" ff -i "$f" -map 0:a -f s16le -c:a pcm_s16le "$f.s16"
done
# mends-: bare MPEG audio frames (no tags), to build AVI streams around.
make mends-tone.mp3 ff -f lavfi -i "$(tone 440 44100 1)" -ac 1 -c:a libmp3lame -b:a 128k \
    -write_xing 0 -id3v2_version 0 -f mp3 mends-tone.mp3
# mends-: XviD (MPEG-4) video with MP3 audio, as downloaded AVIs commonly are.
make mends-xvid-mp3.avi ff -f lavfi -i "$(picture 160x120 25 4)" -f lavfi -i "$(tone 440 44100 4)" \
    -c:v mpeg4 -vtag XVID -c:a libmp3lame -b:a 64k mends-xvid-mp3.avi
make mends-xvid-mp3.avi.s16 ff -i mends-xvid-mp3.avi -map 0:a -f s16le -c:a pcm_s16le mends-xvid-mp3.avi.s16
# Raw samples through DirectShow: compressed streams in the containers users
# copy from, each with ffprobe's packet list (size, key flag, time) and the
# packets' bytes as stored, one after the other.
make dsraw-mjpeg.avi ff -f lavfi -i "$(picture 160x120 25 2)" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p dsraw-mjpeg.avi
make dsraw-xvid.avi ff -f lavfi -i "$(picture 160x120 25 2)" -c:v mpeg4 -vtag XVID -q:v 3 -bf 0 -g 10 dsraw-xvid.avi
make dsraw-h264.mp4 ff -f lavfi -i "$(picture 160x120 25 2)" -c:v libx264 -preset veryfast -bf 0 -g 10 \
    -keyint_min 10 -sc_threshold 0 -pix_fmt yuv420p dsraw-h264.mp4
make dsraw-h264.mkv ff -i dsraw-h264.mp4 -c copy dsraw-h264.mkv
make dsraw-mp3.mp3 ff -f lavfi -i "$(tone 440 44100 2)" -c:a libmp3lame -b:a 128k dsraw-mp3.mp3
make dsraw-aac.mp4 ff -f lavfi -i "$(tone 440 44100 2)" -c:a aac -b:a 128k dsraw-aac.mp4
for f in dsraw-mjpeg.avi dsraw-xvid.avi dsraw-h264.mp4 dsraw-h264.mkv dsraw-mp3.mp3 dsraw-aac.mp4; do
    make "$f.packets" sh -c "ffprobe -v error -select_streams 0 -show_entries packet=size,flags,pts_time \
        -of csv=p=0 '$f' > '$f.packets'"
    make "$f.data" ff -i "$f" -map 0:0 -c copy -f data "$f.data"
done
# ffmpeg's decode of each video, for splitters that deliver decoded frames.
for f in dsraw-mjpeg.avi dsraw-xvid.avi dsraw-h264.mp4 dsraw-h264.mkv; do
    make "$f.yuv" ff -i "$f" -f rawvideo "$f.yuv"
done
# Read one sample per call through DirectShow: several seconds in the
# containers whose block times are rounded to milliseconds (Matroska) or come
# from granule positions (Ogg).
make dsaudio1-pcm.mkv ff -f lavfi -i "$(stereo 5)" -c:a pcm_s16le dsaudio1-pcm.mkv
make dsaudio1-vorbis.mkv ff -f lavfi -i "$(stereo 5)" -c:a libvorbis -q:a 4 dsaudio1-vorbis.mkv
make dsaudio1-vorbis.ogg ff -f lavfi -i "$(stereo 5)" -c:a libvorbis -q:a 4 dsaudio1-vorbis.ogg
make dsaudio1-mp3.mp3 ff -f lavfi -i "$(stereo 5)" -c:a libmp3lame -b:a 128k dsaudio1-mp3.mp3
for f in dsaudio1-pcm.mkv dsaudio1-vorbis.mkv dsaudio1-vorbis.ogg dsaudio1-mp3.mp3; do
    make "$f.s16" ff -i "$f" -f s16le -c:a pcm_s16le -ar 44100 -ac 2 "$f.s16"
done
# Half a second missing after the first second: ffmpeg's reference has
# silence there.
make dsaudio1-gap.mkv ff -f lavfi -i "$(stereo 3)" -af "asetpts='if(gte(T,1),PTS+22050,PTS)'" -c:a pcm_s16le dsaudio1-gap.mkv
make dsaudio1-gap.mkv.s16 ff -i dsaudio1-gap.mkv -af aresample=async=1:first_pts=0 -f s16le -c:a pcm_s16le -ar 44100 -ac 2 dsaudio1-gap.mkv.s16
