#!/bin/bash
# Checks with ffprobe the files that the converter's dialog test wrote: one
# 16x8 raw video stream of 10 frames at 25 fps and 3200 samples of 8 kHz mono
# 16-bit PCM (0.4 s each); the run whose source was cut, which holds the
# frames before the cut (the count the test read back); and the conversions
# of DirectShow-decoded sources,
# every frame against ffmpeg's decode of the source. GStreamer and swscale
# convert YUV to RGB with slightly different rounding (about one level), which
# keeps the PSNR near 40 dB; a wrong or shifted frame falls far below 30.
#
#   vandrel-output-probe.sh MEDIA_DIR
set -euo pipefail
file=$1/vandrel-dialog-output.avi
[ -s "$file" ] || { echo "no $file: the dialog test did not write it" >&2; exit 1; }
probe() { ffprobe -v error -select_streams "$1" -count_frames -show_entries "stream=$2" -of csv=p=0 "$file"; }
fail=0
check() { [ "$2" = "$3" ] || { echo "$1: expected $3, got $2" >&2; fail=1; }; }
check video "$(probe v:0 codec_name,width,height,r_frame_rate,nb_read_frames)" "rawvideo,16,8,25/1,10"
check audio "$(probe a:0 codec_name,sample_rate,channels)" "pcm_s16le,8000,1"
samples=$(ffprobe -v error -select_streams a:0 -show_entries packet=size -of csv=p=0 "$file" | awk '{s+=$1} END {print s/2}')
check "audio samples" "$samples" 3200
file=$1/vandrel-cut-source.avi
if [ -s "$file" ] && [ -s "$1/vandrel-cut-source.frames" ]; then
    frames=$(cat "$1/vandrel-cut-source.frames")
    check "cut source video" "$(probe v:0 codec_name,width,height,r_frame_rate,nb_read_frames)" "rawvideo,64,48,25/1,$frames"
    check "cut source duration" "$(probe v:0 duration)" "$(awk -v n="$frames" 'BEGIN {printf "%.6f", n / 25}')"
else
    echo "no $file: the dialog test did not write it" >&2
    fail=1
fi
for name in mjpeg.avi vp8.mkv; do
    written=$1/vandrel-ds-$name.avi
    [ -s "$written" ] || { echo "no $written" >&2; fail=1; continue; }
    file=$written
    check "$name video" "$(probe v:0 codec_name,width,height,r_frame_rate,nb_read_frames)" "rawvideo,160,120,25/1,50"
    psnr=$(ffmpeg -nostdin -hide_banner -i "$written" -i "$1/$name" \
        -lavfi "[0:v]format=bgr24[a];[1:v]format=bgr24[b];[a][b]psnr" -f null - 2>&1 |
        sed -n 's/.*PSNR.* average:\([0-9.inf]*\).*/\1/p')
    echo "$name: PSNR against ffmpeg's decode $psnr dB"
    [ "$psnr" = inf ] || awk -v p="${psnr:-0}" 'BEGIN {exit !(p >= 30)}' || { echo "$name: PSNR $psnr below 30" >&2; fail=1; }
done
exit $fail
