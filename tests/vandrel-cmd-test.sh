#!/bin/bash
# Drives VandrelCmd.exe through tools/vandrel-cmd.sh and checks what it writes
# with ffprobe and ffmpeg: frames against the source's frames (framemd5 of the
# decoded pictures, or PSNR for a lossy source decoded by another decoder),
# samples against the source's samples, and the command line's refusals.
#
#   vandrel-cmd-test.sh BUILD_DIR WORK_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
export VANDREL_BUILD=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
cmd() { "$HERE/../tools/vandrel-cmd.sh" "$@"; }

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
probe() { ffprobe -v error -select_streams "$2" -count_frames -show_entries "stream=$3" -of csv=p=0 "$1"; }
# The picture hashes of frames FIRST..LAST (1-based lines) of a file's video, decoded to 24-bit RGB.
frame_hashes() { ff -i "$1" -map 0:v -pix_fmt bgr24 -f framemd5 - | grep -v '^#' | awk -F', *' '{print $NF}' | sed -n "${2:-1},${3:-\$}p"; }
# The samples of a file's audio as 16-bit PCM, hashed as a whole.
audio_hash() { ff -i "$1" -map 0:a -c:a pcm_s16le -f s16le - | md5sum | cut -d' ' -f1; }
audio_samples() { ff -i "$1" -map 0:a -c:a pcm_s16le -f s16le - | wc -c | awk -v c="${2:-1}" '{print $1 / (2 * c)}'; }
expect() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected '$3', got '$2'"; fi; }

# Sources: lossless RGB with PCM (every backend reads it), Matroska with VP8
# and Vorbis (DirectShow only), MJPEG with PCM for direct copy, a WAV tone.
ff -f lavfi -i testsrc2=size=64x48:rate=25:duration=2 -f lavfi -i sine=frequency=440:sample_rate=22050:duration=2 \
    -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le rgb.avi
ff -f lavfi -i testsrc2=size=64x48:rate=25:duration=2 -f lavfi -i sine=frequency=440:sample_rate=22050:duration=2 \
    -c:v libvpx -b:v 400k -c:a libvorbis clip.mkv
ff -f lavfi -i testsrc2=size=64x48:rate=25:duration=2 -f lavfi -i sine=frequency=440:sample_rate=22050:duration=2 \
    -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -c:a pcm_s16le mjpeg.avi
ff -f lavfi -i sine=frequency=660:sample_rate=22050:duration=2 -c:a pcm_s16le tone.wav

VFW=(--output-backend vfw --quiet)

# --help and bad command lines: exit code 2, nothing written.
out=$(cmd --help); rc=$?
expect "--help exit code" "$rc" 0
[[ $out == *"Usage: VandrelCmd.exe"* && $out == *"--video-compressor NAME"* ]] || fail "--help text"
for bad in "--frames 5:2" "--frames x:3" "--video-backend vfx" "--output-backend auto" "--interleave -1" \
           "--video-track -1" "--no-video --no-audio" "--bogus" "--copy-video --video-compressor x"; do
    # shellcheck disable=SC2086
    err=$(cmd "${VFW[@]}" $bad rgb.avi bad.avi 2>&1 >/dev/null); rc=$?
    [ "$rc" = 2 ] && [ ! -e bad.avi ] && [ -n "$err" ] || fail "bad command line '$bad': exit $rc, message '$err'"
done
cmd "${VFW[@]}" rgb.avi 2>/dev/null; expect "INPUT without OUTPUT" "$?" 2
pass "bad values refused with exit code 2"

# Decoded AVI to an uncompressed AVI: the same pictures and samples.
cmd "${VFW[@]}" rgb.avi decoded.avi; expect "decoded exit code" "$?" 0
expect "decoded video" "$(probe decoded.avi v:0 codec_name,width,height,r_frame_rate,nb_read_frames)" "rawvideo,64,48,25/1,50"
expect "decoded audio" "$(probe decoded.avi a:0 codec_name,sample_rate,channels)" "pcm_s16le,22050,1"
expect "decoded frames equal the source's" "$(frame_hashes decoded.avi | md5sum)" "$(frame_hashes rgb.avi | md5sum)"
expect "decoded samples equal the source's" "$(audio_hash decoded.avi)" "$(audio_hash rgb.avi)"

# Ranges: frames 10..19 and samples 2205..6614 (0.1 s to 0.3 s).
cmd "${VFW[@]}" --frames 10:19 --samples 2205:6614 rgb.avi range.avi; expect "range exit code" "$?" 0
expect "range frames" "$(frame_hashes range.avi | md5sum)" "$(frame_hashes rgb.avi 11 20 | md5sum)"
ff -i rgb.avi -map 0:a -f s16le - 2>/dev/null | tail -c +$((2205 * 2 + 1)) | head -c $((4410 * 2)) >expected.pcm
expect "range samples" "$(ff -i range.avi -map 0:a -f s16le - | md5sum)" "$(md5sum <expected.pcm)"
cmd "${VFW[@]}" --frames 40: rgb.avi tail.avi; expect "open-ended range" "$(probe tail.avi v:0 nb_read_frames)" 10

# Video alone, and audio from a WAV file.
cmd "${VFW[@]}" --no-audio rgb.avi silent.avi; expect "--no-audio exit code" "$?" 0
expect "--no-audio streams" "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 silent.avi | tr '\n' ' ')" "video "
expect "--no-audio frames" "$(frame_hashes silent.avi | md5sum)" "$(frame_hashes rgb.avi | md5sum)"
cmd "${VFW[@]}" --audio tone.wav rgb.avi dubbed.avi; expect "--audio exit code" "$?" 0
expect "--audio samples are the WAV's" "$(audio_hash dubbed.avi)" "$(audio_hash tone.wav)"

# Direct stream copy: the stored MJPEG pictures and PCM blocks unchanged.
cmd "${VFW[@]}" --copy-video --copy-audio mjpeg.avi copy.avi; expect "copy exit code" "$?" 0
expect "copy video" "$(probe copy.avi v:0 codec_name,nb_read_frames)" "mjpeg,50"
expect "copied pictures" "$(ff -i copy.avi -map 0:v -c copy -f framemd5 - | grep -v '^#' | awk -F', *' '{print $NF}' | md5sum)" \
    "$(ff -i mjpeg.avi -map 0:v -c copy -f framemd5 - | grep -v '^#' | awk -F', *' '{print $NF}' | md5sum)"
expect "copied samples" "$(audio_hash copy.avi)" "$(audio_hash mjpeg.avi)"

# Matroska decoded through DirectShow: every frame, close to ffmpeg's decode;
# its Vorbis audio, read one sample at a time, as long and as loud as
# ffmpeg's decode (decoders differ by a few samples of delay and by rounding).
cmd "${VFW[@]}" clip.mkv fromMkv.avi; expect "Matroska exit code" "$?" 0
rms() { ffmpeg -nostdin -hide_banner -i "$1" -map 0:a -af astats=measure_perchannel=none -f null - 2>&1 |
    sed -n 's/.*RMS level dB: *\([-0-9.]*\).*/\1/p' | tail -1; }
awk -v a="$(audio_samples fromMkv.avi)" -v b="$(audio_samples clip.mkv)" 'BEGIN {exit !(a >= b * 0.99 && a <= b * 1.01)}' &&
    pass "Matroska audio length" || fail "Matroska audio: $(audio_samples fromMkv.avi) samples, ffmpeg $(audio_samples clip.mkv)"
awk -v a="$(rms fromMkv.avi)" -v b="$(rms clip.mkv)" 'BEGIN {d = a - b; exit !(a != "" && d < 0.5 && d > -0.5)}' &&
    pass "Matroska audio level" || fail "Matroska audio RMS $(rms fromMkv.avi) dB, ffmpeg $(rms clip.mkv) dB"
expect "Matroska frames" "$(probe fromMkv.avi v:0 codec_name,nb_read_frames)" "rawvideo,50"
psnr=$(ffmpeg -nostdin -hide_banner -i fromMkv.avi -i clip.mkv -lavfi "[0:v]format=yuv420p[a];[1:v]format=yuv420p[b];[a][b]psnr" \
    -f null - 2>&1 | sed -n 's/.*PSNR.* average:\([0-9.inf]*\).*/\1/p')
awk -v p="$psnr" 'BEGIN {exit !(p == "inf" || p + 0 >= 30)}' && pass "Matroska pictures (PSNR $psnr dB)" ||
    fail "Matroska pictures differ from ffmpeg's decode (PSNR '$psnr')"

# Existing output: refused and byte-identical without --overwrite, replaced with it.
printf 'keep me' >exists.avi
cmd "${VFW[@]}" rgb.avi exists.avi 2>err.txt; rc=$?
[ "$rc" = 1 ] && [ "$(cat exists.avi)" = "keep me" ] && grep -q -- --overwrite err.txt &&
    pass "existing output left untouched" || fail "existing output: exit $rc, content '$(head -c 20 exists.avi)'"
cmd "${VFW[@]}" --overwrite rgb.avi exists.avi; expect "--overwrite exit code" "$?" 0
expect "--overwrite wrote the file" "$(probe exists.avi v:0 nb_read_frames)" 50

# A full disk (here a file size limit, with its signal ignored so that the
# write fails instead): a write error and exit code 1, not a short file
# passed off as done.
(trap '' XFSZ; ulimit -f 100; cmd "${VFW[@]}" rgb.avi full.avi 2>err.txt); rc=$?
[ "$rc" = 1 ] && grep -q "Write error" err.txt && pass "full disk reported" ||
    fail "full disk: exit $rc, $(tr '\n' ' ' <err.txt)"

# A batch of three with a missing input in the middle: the others written, exit code 1.
printf '# batch\n"%s" "%s"\nmissing.avi b2.avi\n\n%s %s\n' rgb.avi "b 1.avi" mjpeg.avi b3.avi >list.txt
cmd "${VFW[@]}" --no-audio --batch list.txt 2>err.txt; rc=$?
expect "batch exit code" "$rc" 1
[ -s "b 1.avi" ] && [ ! -e b2.avi ] && [ -s b3.avi ] && pass "batch continued after the bad pair" || fail "batch outputs"
expect "batch third file" "$(probe b3.avi v:0 nb_read_frames)" 50

# Unknown compressor names list the available ones, exit code 2, nothing written.
cmd "${VFW[@]}" --video-compressor "no such codec" rgb.avi nocodec.avi 2>err.txt; rc=$?
[ "$rc" = 2 ] && [ ! -e nocodec.avi ] && grep -q 'unknown video compressor "no such codec"; available' err.txt &&
    pass "unknown video compressor" || fail "unknown video compressor: exit $rc, $(cat err.txt)"
cmd "${VFW[@]}" --audio-compressor "no such format" rgb.avi noformat.avi 2>err.txt; rc=$?
[ "$rc" = 2 ] && [ ! -e noformat.avi ] && grep -q 'unknown audio compressor' err.txt &&
    pass "unknown audio compressor ($(($(wc -l <err.txt) - 1)) formats listed)" || fail "unknown audio compressor: exit $rc"

# With the DirectShow output the names are the compressor categories' friendly names.
cmd --quiet --video-compressor "no such filter" rgb.avi nofilter.avi 2>err.txt; rc=$?
[ "$rc" = 2 ] && [ ! -e nofilter.avi ] && grep -q 'unknown video compressor "no such filter"; available' err.txt &&
    pass "unknown DirectShow compressor ($(($(wc -l <err.txt) - 1)) listed)" || fail "unknown DirectShow compressor: exit $rc"

# An ACM format named by its tag alone: the format ACM suggests for the input.
cmd "${VFW[@]}" --audio-compressor "IMA ADPCM" rgb.avi adpcm.avi; expect "--audio-compressor exit code" "$?" 0
expect "IMA ADPCM audio" "$(probe adpcm.avi a:0 codec_name,sample_rate,channels)" "adpcm_ima_wav,22050,1"
samples=$(audio_samples adpcm.avi)
awk -v n="$samples" 'BEGIN {exit !(n >= 44100 && n < 44100 + 1017)}' && pass "IMA ADPCM samples ($samples)" ||
    fail "IMA ADPCM samples: $samples, expected 44100 and at most one block more"

# The interleaving period through the writer's own dialog, answered by the program.
cmd "${VFW[@]}" --interleave 0.2 rgb.avi period.avi; expect "--interleave exit code" "$?" 0
expect "--interleave samples" "$(audio_hash period.avi)" "$(audio_hash rgb.avi)"

# Progress output when redirected: whole lines with percent, counts, rate and times.
cmd --output-backend vfw rgb.avi progress.avi >progress.txt; expect "progress run" "$?" 0
tr -d '\r' <progress.txt >progress-lines.txt
grep -qE '^100%  frame 50/50  audio sample 44100/44100  [0-9.]+ fps  [0-9.]+x real time  elapsed [0-9:]+$' progress-lines.txt &&
    pass "progress line: $(tail -1 progress-lines.txt)" || fail "progress output: $(cat progress-lines.txt)"

# Ctrl+C (Wine turns SIGINT into the console's CTRL_C_EVENT) stops the run:
# a closed, readable file with the frames written so far, exit code 3.
ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=60 -c:v libvpx -b:v 300k -deadline realtime -cpu-used 8 long.mkv
(
    # shellcheck disable=SC1091
    . "${TRELIX_WINE_STATE:-$VANDREL_BUILD/wine-env}/env" || exit 1
    /usr/lib/wine/wine64 "$VANDREL_BUILD/bin/VandrelCmd.exe" --output-backend vfw --no-audio long.mkv stopped.avi \
        >stopped.txt 2>&1 &
    program=$!
    for _ in $(seq 200); do [ -s stopped.avi ] && break; sleep 0.05; done
    sleep 0.3
    kill -INT "$program"
    wait "$program"
)
rc=$?
frames=$(probe stopped.avi v:0 nb_read_frames)
errors=$(ffmpeg -nostdin -v error -i stopped.avi -f null - 2>&1)
[ "$rc" = 3 ] && [ "${frames:-0}" -gt 0 ] && [ "$frames" -lt 1500 ] && [ -z "$errors" ] &&
    grep -q "stopped: the output is closed" stopped.txt &&
    pass "Ctrl+C: exit code 3, closed file of $frames frames" || fail "Ctrl+C: exit $rc, $frames frames, '$errors'"

echo "$failures failure(s)"
[ "$failures" = 0 ]
