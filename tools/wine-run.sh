#!/bin/bash
# Runs one Windows program under Wine. Inside a test run (TRELIX_WINE_STATE set
# by CTest) it uses the environment that tools/wine-env.sh started; run by hand
# it starts a private one next to the program and stops it afterwards.
#
# Fails when the program fails, or when Wine reports a crash or an assertion on
# standard error even though the exit code says success.
set -uo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { echo "usage: wine-run.sh PROGRAM [ARGS...]" >&2; exit 2; }

own_env=
state=${TRELIX_WINE_STATE:-}
if [ -z "$state" ] || [ ! -f "$state/env" ]; then
    state=$(cd "$(dirname "$1")/.." && pwd)/wine-env
    if [ ! -f "$state/env" ]; then
        "$HERE/wine-env.sh" start "$state" || exit 1
        own_env=1
    fi
fi
# shellcheck disable=SC1091
. "$state/env"

errlog=$(mktemp)
/usr/lib/wine/wine64 "$@" 2>"$errlog"
rc=$?
cat "$errlog" >&2
if [ $rc -eq 0 ] && grep -qE 'Unhandled exception|Assertion failed|Unhandled page fault' "$errlog"; then
    echo "wine-run: the program crashed or asserted (see above)" >&2
    rc=1
fi
rm -f "$errlog"
[ -n "$own_env" ] && "$HERE/wine-env.sh" stop "$state"
exit $rc
