#!/bin/bash
# The main job: installs what is missing, builds, makes a short sample clip in
# the build tree and starts Vandrel.exe under Wine. With DISPLAY set the window
# opens there and stays until closed; without it the program runs on a private
# Xvfb just long enough for a screenshot. Either way a PNG of the screen is
# saved and its path printed.
#
#   tools/run-vandrel.sh [BUILD_DIR]
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
BUILD=${1:-$ROOT/build}

"$HERE/install-deps.sh"
"$HERE/build.sh" "$BUILD"

# Uncompressed video with PCM audio: every backend reads it.
sample=$BUILD/sample/sample.avi
mkdir -p "$BUILD/sample"
if [ ! -s "$sample" ]; then
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=160x120:rate=25:duration=4" \
        -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=4" \
        -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le "$sample"
fi

state=$BUILD/wine-env
own_env=
[ -f "$state/env" ] || { "$HERE/wine-env.sh" start "$state"; own_env=1; }
user_display=${DISPLAY:-}
# shellcheck disable=SC1091
. "$state/env"
[ -n "$user_display" ] && export DISPLAY=$user_display

shot=$BUILD/vandrel-screenshot.png
/usr/lib/wine/wine64 "$BUILD/bin/Vandrel.exe" &
program=$!
sleep 8
import -display "$DISPLAY" -window root "$shot"
echo "Screenshot of the window: $shot"
echo "Sample clip to convert: $sample (Wine path Z:${sample//\//\\})"
if [ -n "$user_display" ]; then
    wait "$program" || true
else
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
fi
[ -n "$own_env" ] && "$HERE/wine-env.sh" stop "$state"
exit 0
