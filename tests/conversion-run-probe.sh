#!/bin/bash
# Checks with ffmpeg the file that the engine path of the conversion run wrote
# (ConversionRunTests) against its source: every decoded frame the same
# (framemd5), the same decoded audio, the same stream layout.
#
#   conversion-run-probe.sh MEDIA_DIR
set -euo pipefail
source=$1/conversion-run-source.avi
written=$1/conversion-run-engine.avi
for f in "$source" "$written"; do
    [ -s "$f" ] || { echo "no $f: ConversionRunTests did not write it" >&2; exit 1; }
done
ff() { ffmpeg -nostdin -hide_banner -loglevel error "$@"; }
frames() { ff -i "$1" -map 0:v -pix_fmt bgr24 -f framemd5 - | grep -v '^#' | awk -F', *' '{print $NF}'; }
samples() { ff -i "$1" -map 0:a -f s16le - | md5sum | cut -d' ' -f1; }
probe() { ffprobe -v error -select_streams "$1" -count_frames -show_entries "stream=$2" -of csv=p=0 "$3"; }
layout() { probe v:0 codec_name,width,height,r_frame_rate,nb_read_frames "$1"; probe a:0 codec_name,sample_rate,channels "$1"; }
fail=0
check() { [ "$2" = "$3" ] || { echo "$1 differs:"$'\n'"written: $2"$'\n'"source:  $3" >&2; fail=1; }; }
check "stream layout" "$(layout "$written")" "$(layout "$source")"
check "frame hashes" "$(frames "$written")" "$(frames "$source")"
check "decoded audio" "$(samples "$written")" "$(samples "$source")"
[ "$(frames "$written" | wc -l)" = 60 ] || { echo "expected 60 frames" >&2; fail=1; }
exit $fail
