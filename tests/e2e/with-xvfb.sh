#!/usr/bin/env bash
# Runs one command against a private Xvfb server, started here and stopped when the command ends.
#   XVFB_SCREEN  screen geometry and depth (default 1280x1024x24)
#   XVFB_ARGS    further server options, e.g. "-extension MIT-SHM" to test without shared memory
#   XFT_DPI      the X resource Xft.dpi, merged before the command starts, which then runs with no
#                QT_* variable at all: a high-DPI desktop as users have one (-noreset keeps the
#                resource when the last client leaves)
#   XVFB_WM      a compositing manager started on the server before the command: picom (its
#                xrender back end), xcompmgr, or mutter (an X11 compositing window manager, in a
#                D-Bus session of its own); the command is to wait until the manager owns the
#                selection _NET_WM_CM_S0, which it takes once it composites
set -u
command -v Xvfb >/dev/null || { echo "with-xvfb: Xvfb is not installed (Debian package xvfb)" >&2; exit 1; }

fdfile=$(mktemp)
# -displayfd picks a free display number and writes it once the server accepts connections.
# shellcheck disable=SC2086
Xvfb -displayfd 3 -screen 0 "${XVFB_SCREEN:-1280x1024x24}" -nolisten tcp -noreset ${XVFB_ARGS:-} \
    3>"$fdfile" 2>/tmp/with-xvfb.$$.log &
xvfb=$!
wm=
# The server goes first: the manager then ends on its own (for mutter, dbus-run-session with
# it, and the bus it started); whatever is left after 5 s is stopped by its PID.
stop_all() {
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
    if [ -n "$wm" ]; then
        for _ in $(seq 1 50); do kill -0 "$wm" 2>/dev/null || break; sleep 0.1; done
        kill "$wm" 2>/dev/null
        wait "$wm" 2>/dev/null
    fi
    rm -rf "$fdfile" /tmp/with-xvfb.$$.log /tmp/with-xvfb.$$.wm.log "${wmruntime:-}"
}
trap stop_all EXIT

for _ in $(seq 1 100); do
    [ -s "$fdfile" ] && break
    kill -0 "$xvfb" 2>/dev/null || { echo "with-xvfb: Xvfb failed to start:" >&2; cat /tmp/with-xvfb.$$.log >&2; exit 1; }
    sleep 0.1
done
[ -s "$fdfile" ] || { echo "with-xvfb: Xvfb did not start in 10 s" >&2; exit 1; }

export DISPLAY=":$(head -n1 "$fdfile")"
case "${XVFB_WM:-}" in
"") ;;
picom)
    command -v picom >/dev/null || { echo "with-xvfb: picom is not installed (Debian package picom)" >&2; exit 1; }
    picom --backend xrender --config /dev/null >/tmp/with-xvfb.$$.wm.log 2>&1 &
    wm=$! ;;
xcompmgr)
    command -v xcompmgr >/dev/null || { echo "with-xvfb: xcompmgr is not installed (Debian package xcompmgr)" >&2; exit 1; }
    xcompmgr >/tmp/with-xvfb.$$.wm.log 2>&1 &
    wm=$! ;;
mutter)
    for tool in mutter dbus-run-session; do
        command -v "$tool" >/dev/null || { echo "with-xvfb: $tool is not installed (Debian packages mutter dbus-daemon)" >&2; exit 1; }
    done
    wmruntime=$(mktemp -d)
    XDG_RUNTIME_DIR=$wmruntime dbus-run-session -- mutter --x11 --replace --sm-disable >/tmp/with-xvfb.$$.wm.log 2>&1 &
    wm=$! ;;
*)
    echo "with-xvfb: unknown XVFB_WM '$XVFB_WM' (picom, xcompmgr or mutter)" >&2; exit 1 ;;
esac
if [ -n "$wm" ]; then
    sleep 0.5
    kill -0 "$wm" 2>/dev/null || { echo "with-xvfb: $XVFB_WM failed to start:" >&2; cat /tmp/with-xvfb.$$.wm.log >&2; exit 1; }
fi
if [ -n "${XFT_DPI:-}" ]; then
    command -v xrdb >/dev/null || { echo "with-xvfb: xrdb is not installed (Debian package x11-xserver-utils)" >&2; exit 1; }
    printf 'Xft.dpi: %s\n' "$XFT_DPI" | xrdb -nocpp -merge || { echo "with-xvfb: xrdb failed" >&2; exit 1; }
    for v in $(compgen -e); do
        case "$v" in QT_*) unset "$v" ;; esac
    done
else
    export QT_QPA_PLATFORM=xcb
fi
"$@"
