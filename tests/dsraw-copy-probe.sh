#!/bin/bash
# Checks with ffprobe and ffmpeg the AVI file into which the raw-source test
# copied the video of dsraw-h264.mp4 through DirectShow: 50 frames of 160x120
# at 25 fps, stored either as the source's H.264 (a splitter that gives the
# stored samples) or as raw I420 (one that gives decoded frames); either way
# ffmpeg's decode of the copy equals its decode of the source, frame by frame.
#
#   dsraw-copy-probe.sh MEDIA_DIR
set -euo pipefail
copy=$1/dsraw-copy-h264.avi
source=$1/dsraw-h264.mp4
[ -s "$copy" ] || { echo "no $copy: the raw-source test did not write it" >&2; exit 1; }
fail=0
check() { [ "$2" = "$3" ] || { echo "$1: expected $3, got $2" >&2; fail=1; }; }
stream=$(ffprobe -v error -select_streams v:0 -count_frames \
    -show_entries stream=codec_name,width,height,r_frame_rate,nb_read_frames -of csv=p=0 "$copy")
case $stream in
    h264,*|rawvideo,*) ;;
    *) echo "copy: unexpected codec in $stream" >&2; fail=1 ;;
esac
check "copy" "${stream#*,}" "160,120,25/1,50"
hashes() { ffmpeg -nostdin -v error -i "$1" -map 0:v:0 -pix_fmt yuv420p -f framemd5 - | grep -v '^#' | awk -F, '{print $NF}'; }
if ! diff <(hashes "$source") <(hashes "$copy") >/dev/null; then
    echo "copy: its frames differ from the source's" >&2
    fail=1
fi
exit $fail
