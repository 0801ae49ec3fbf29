#!/bin/bash
# Owns the Wine environment of one build tree: a Wine prefix inside the build
# tree, one persistent wineserver, a private Xvfb display and a null ALSA device.
#
#   wine-env.sh start STATE_DIR   create what is missing and start the services
#   wine-env.sh stop STATE_DIR    stop only what "start" started
#
# STATE_DIR holds the prefix, the ALSA configuration and an "env" file that
# tools/wine-run.sh sources to reach the running services.
set -euo pipefail

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

die() { echo "wine-env: $*" >&2; exit 1; }

free_display() {
    local n
    for n in $(seq 90 199); do
        if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
            echo "$n"; return 0
        fi
    done
    return 1
}

start_xvfb() {
    local n pid
    n=$(free_display) || die "no free X display number"
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -nolisten unix -listen unix \
        </dev/null >"$STATE/xvfb.log" 2>&1 &
    pid=$!
    for _ in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        kill -0 "$pid" 2>/dev/null || die "Xvfb :$n did not start (see $STATE/xvfb.log)"
        sleep 0.1
    done
    echo "$pid" >"$STATE/xvfb.pid"
    echo ":$n"
}

write_alsa_conf() {
    cat >"$STATE/alsa.conf" <<'ALSA'
</usr/share/alsa/alsa.conf>
pcm.!default { type null }
ctl.!default { type hw card 0 }
ALSA
}

write_env() {
    cat >"$STATE/env" <<ENV
export WINEPREFIX="$STATE/prefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY="$1"
export ALSA_CONFIG_PATH="$STATE/alsa.conf"
ENV
}

reg_add() {
    "$WINE" reg add "$@" /f >>"$STATE/wineboot.log" 2>&1 || die "cannot configure the prefix"
}

create_prefix() {
    local configured="$STATE/prefix-configured-1"
    [ -f "$configured" ] && return 0
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$WINE" wineboot -i >"$STATE/wineboot.log" 2>&1 || die "wineboot failed (see $STATE/wineboot.log)"
    fi
    # A crashing test must fail, not hang on Wine's crash dialog.
    reg_add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
    # Xvfb has no window manager: Wine draws captions and frames itself and
    # does not wait for a manager to map, minimise or hide windows.
    reg_add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N
    reg_add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N
    "$WINESERVER" -w
    touch "$configured"
}

start() {
    mkdir -p "$STATE"
    [ -f "$STATE/xvfb.pid" ] && stop
    write_alsa_conf
    write_env "$(start_xvfb)"
    # shellcheck disable=SC1091
    . "$STATE/env"
    create_prefix
    # Keep one warm server for the whole run: a cold Wine start costs seconds.
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    touch "$STATE/wineserver.started"
}

stop() {
    if [ -f "$STATE/wineserver.started" ]; then
        # shellcheck disable=SC1091
        . "$STATE/env"
        "$WINESERVER" -k 2>/dev/null || true
        rm -f "$STATE/wineserver.started"
    fi
    if [ -f "$STATE/xvfb.pid" ]; then
        local pid
        pid=$(cat "$STATE/xvfb.pid")
        # A stale file may name a process id that now belongs to someone else.
        if [ "$(ps -p "$pid" -o comm= 2>/dev/null)" = Xvfb ]; then
            kill "$pid" 2>/dev/null || true
        fi
        rm -f "$STATE/xvfb.pid"
    fi
    rm -f "$STATE/env"
}

[ $# -eq 2 ] || die "usage: wine-env.sh start|stop STATE_DIR"
mkdir -p "$2"
STATE=$(cd "$2" && pwd)
case "$1" in
    start) start ;;
    stop) stop ;;
    *) die "usage: wine-env.sh start|stop STATE_DIR" ;;
esac
