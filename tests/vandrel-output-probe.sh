#!/bin/bash
# Checks with ffprobe the file that the converter's dialog test wrote: one
# 16x8 raw video stream of 10 frames at 25 fps and 3200 samples of 8 kHz mono
# 16-bit PCM (0.4 s each).
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
exit $fail
