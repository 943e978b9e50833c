#!/usr/bin/env bash
# Runs one command against a private Xvfb server, started here and stopped when the command ends.
#   XVFB_SCREEN  screen geometry and depth (default 1280x1024x24)
#   XVFB_ARGS    further server options, e.g. "-extension MIT-SHM" to test without shared memory
#   XFT_DPI      the X resource Xft.dpi, merged before the command starts, which then runs with no
#                QT_* variable at all: a high-DPI desktop as users have one (-noreset keeps the
#                resource when the last client leaves)
set -u
command -v Xvfb >/dev/null || { echo "with-xvfb: Xvfb is not installed (Debian package xvfb)" >&2; exit 1; }

fdfile=$(mktemp)
# -displayfd picks a free display number and writes it once the server accepts connections.
# shellcheck disable=SC2086
Xvfb -displayfd 3 -screen 0 "${XVFB_SCREEN:-1280x1024x24}" -nolisten tcp -noreset ${XVFB_ARGS:-} \
    3>"$fdfile" 2>/tmp/with-xvfb.$$.log &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -f "$fdfile" /tmp/with-xvfb.$$.log' EXIT

for _ in $(seq 1 100); do
    [ -s "$fdfile" ] && break
    kill -0 "$xvfb" 2>/dev/null || { echo "with-xvfb: Xvfb failed to start:" >&2; cat /tmp/with-xvfb.$$.log >&2; exit 1; }
    sleep 0.1
done
[ -s "$fdfile" ] || { echo "with-xvfb: Xvfb did not start in 10 s" >&2; exit 1; }

export DISPLAY=":$(head -n1 "$fdfile")"
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
