#!/bin/bash
# Runs VandrelCmd.exe under Wine with Unix paths: file arguments (INPUT and
# OUTPUT names, --audio FILE, --batch LISTFILE and the names inside the list)
# become Windows paths on drive Z:. No display is needed: tools/wine-run.sh
# uses a private Xvfb.
#
#   tools/vandrel-cmd.sh [options] INPUT OUTPUT.avi ...
#   VANDREL_BUILD=DIR picks the build tree (default: build next to tools/)
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${VANDREL_BUILD:-$HERE/../build}
program=$BUILD/bin/VandrelCmd.exe
[ -f "$program" ] || { echo "vandrel-cmd: no $program (build first: tools/build.sh)" >&2; exit 2; }

windows_path() {
    local full
    full=$(realpath -m -- "$1")
    printf 'Z:%s' "${full//\//\\}"
}

# The list file with every name turned into a quoted Windows path.
convert_list() {
    local out=$1 list=$2 line
    while IFS= read -r line || [ -n "$line" ]; do
        case "$line" in ''|'#'*) continue ;; esac
        eval "set -- $line"
        [ $# -eq 2 ] || { printf '%s\n' "$line" >>"$out"; continue; }
        printf '"%s" "%s"\n' "$(windows_path "$1")" "$(windows_path "$2")" >>"$out"
    done <"$list"
}

lists=()
trap 'rm -f "${lists[@]}"' EXIT
args=()
value_of=
for word in "$@"; do
    if [ -n "$value_of" ]; then
        case "$value_of" in
        --audio) word=$(windows_path "$word") ;;
        --batch)
            list=$(mktemp)
            lists+=("$list")
            convert_list "$list" "$word"
            word=$(windows_path "$list") ;;
        esac
        value_of=
    else
        case "$word" in
        --audio|--batch) value_of=$word ;;
        --audio=*) word="--audio=$(windows_path "${word#--audio=}")" ;;
        --batch=*)
            list=$(mktemp)
            lists+=("$list")
            convert_list "$list" "${word#--batch=}"
            word="--batch=$(windows_path "$list")" ;;
        --video-track|--audio-track|--video-backend|--audio-backend|--output-backend|--frames|--samples|\
        --interleave|--video-compressor|--audio-compressor) value_of=$word ;;
        --*) ;;
        *) word=$(windows_path "$word") ;;
        esac
    fi
    args+=("$word")
done
"$HERE/wine-run.sh" "$program" "${args[@]}"
