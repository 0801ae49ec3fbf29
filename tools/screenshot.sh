#!/bin/bash
# Runs a Windows program of the build under Wine on the build's private Xvfb
# display and saves a PNG of the screen after DELAY seconds.
#
#   tools/screenshot.sh OUT.png DELAY PROGRAM [ARGS...]
#
# Needs ImageMagick's "import" (apt-get install imagemagick).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 3 ] || { echo "usage: screenshot.sh OUT.png DELAY PROGRAM [ARGS...]" >&2; exit 2; }
out=$1 delay=$2
shift 2
command -v import >/dev/null || { echo "screenshot.sh: ImageMagick's import is missing" >&2; exit 1; }

state=$(cd "$(dirname "$1")/.." && pwd)/wine-env
own_env=
if [ ! -f "$state/env" ]; then
    "$HERE/wine-env.sh" start "$state"
    own_env=1
fi
# shellcheck disable=SC1091
. "$state/env"

TRELIX_WINE_STATE=$state "$HERE/wine-run.sh" "$@" &
program=$!
sleep "$delay"
import -display "$DISPLAY" -window root "$out"
wait "$program" || true
[ -n "$own_env" ] && "$HERE/wine-env.sh" stop "$state"
echo "saved $out"
