#!/usr/bin/env bash
# Runs one command inside a private headless GNOME, started here and stopped when the command
# ends: a session bus of its own (dbus-run-session), pipewire, wireplumber, mutter as a headless
# Wayland compositor with one virtual monitor and Xwayland, the permission store,
# xdg-desktop-portal-gnome and xdg-desktop-portal. Every process is started here, recorded by
# its PID and stopped by that PID; the bus activates nothing by itself (its only service folder
# is an empty one of this run), so what is not started here is not on the bus at all.
#
# The command gets a fresh HOME (nothing in it: the session's own settings and state are kept
# apart), a private XDG_RUNTIME_DIR (mode 700),
# DISPLAY and XAUTHORITY for Xwayland, WAYLAND_DISPLAY, XDG_CURRENT_DESKTOP=GNOME,
# XDG_SESSION_TYPE=wayland, and VIZZOLEN_GNOME_PIDS: a folder with NAME.pid for each process
# started here (dbus-daemon pipewire wireplumber mutter xwayland permission-store portal-gnome
# portal), so that a test can stop one of them while its program runs. The exit status is the
# command's; the session's own failures to come up give 1 and say what was waited for.
#
#   GNOME_MONITOR            the virtual monitor, WxH or WxH@R (default 1280x800)
#   GNOME_SCALE=2            that monitor at scale 2 (mutter's scale-monitor-framebuffer, set
#                            through a GSettings keyfile, then applied over DisplayConfig); mutter
#                            takes it on monitors of 1536000 pixels or more, e.g. 2560x1600
#   GNOME_NO_PORTAL_BACKEND=1  no xdg-desktop-portal-gnome (and nothing can activate it)
#   GNOME_NO_PORTAL=1        no xdg-desktop-portal either: org.freedesktop.portal.Desktop is
#                            not on the bus and cannot be activated
#   GNOME_KEEP_LOGS=DIR      the logs of every process, copied to DIR at the end
set -u

# A bounded wait: WHAT is said when it gives up.
#   await SECONDS WHAT PIDNAME COMMAND...   (PIDNAME: the process whose death ends the wait early)
await() {
    local limit=$1 what=$2 name=$3
    shift 3
    local deadline=$((SECONDS + limit))
    while :; do
        "$@" >/dev/null 2>&1 && return 0
        if [ -n "$name" ] && ! alive "$(cat "$pids/$name.pid" 2>/dev/null)"; then
            fail "$name ended while waiting for $what" "$name"
        fi
        [ "$SECONDS" -ge "$deadline" ] && fail "no $what within $limit s" "$name"
        sleep 0.05
    done
}

# What is said to the command's stderr (fd 3 inside the session, where the shell's own stderr
# goes to a log: bash reports every background job that dies of a signal, and the portal
# backend does at teardown).
say() { echo "with-gnome: $*" >&"${out:-2}"; }

fail() {
    say "$1"
    if [ -n "${2:-}" ] && [ -s "$logs/$2.log" ]; then
        say "the end of $2's log:"
        tail -n 20 "$logs/$2.log" | sed 's/^/    /' >&"${out:-2}"
    fi
    exit 1
}

# Running and not a zombie.
alive() {
    [ -n "$1" ] || return 1
    local state
    state=$(sed -n 's/^[0-9]* (.*) \([A-Z]\) .*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

if [ -z "${VIZZOLEN_GNOME_INNER:-}" ]; then
    # ---- Outside the session bus: the private folders, the bus, and what is left at the end.
    for tool in dbus-run-session dbus-update-activation-environment gdbus pipewire wireplumber pw-dump \
            mutter Xwayland xdpyinfo /usr/libexec/xdg-permission-store /usr/libexec/xdg-desktop-portal \
            /usr/libexec/xdg-desktop-portal-gnome; do
        command -v "$tool" >/dev/null || {
            echo "with-gnome: $tool is not installed (see TEST_PACKAGES in scripts/packages.sh)" >&2
            exit 1
        }
    done
    monitor=${GNOME_MONITOR:-1280x800}
    [[ "$monitor" =~ ^[0-9]+x[0-9]+(@[0-9]+)?$ ]] || { echo "with-gnome: GNOME_MONITOR=$monitor is not WxH or WxH@R" >&2; exit 1; }
    case "${GNOME_SCALE:-1}" in 1|2) ;; *) echo "with-gnome: GNOME_SCALE=${GNOME_SCALE} (only 1 and 2)" >&2; exit 1 ;; esac
    # mutter takes a scale only where the monitor keeps 800 x 480 logical pixels' worth of area.
    size=${monitor%@*}
    if [ "${GNOME_SCALE:-1}" = 2 ] && [ $((${size%x*} * ${size#*x})) -lt $((4 * 800 * 480)) ]; then
        echo "with-gnome: mutter offers scale 2 only on a monitor of at least 1536000 pixels (GNOME_MONITOR=$monitor; e.g. 2560x1600)" >&2
        exit 1
    fi
    [ $# -gt 0 ] || { echo "usage: with-gnome.sh COMMAND [ARG...]" >&2; exit 2; }

    # Unix socket paths are short (108 bytes): the folder stays in /tmp.
    base=$(mktemp -d /tmp/with-gnome.XXXXXX) || exit 1
    chmod 700 "$base"
    mkdir -m 700 "$base/run" "$base/home" "$base/services" "$base/pids" "$base/logs"
    cat >"$base/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=$base/run</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$base/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <limit name="max_incoming_unix_fds">250000000</limit>
  <limit name="max_outgoing_unix_fds">250000000</limit>
  <limit name="max_message_size">1000000000</limit>
  <limit name="service_start_timeout">20000</limit>
</busconfig>
EOF
    # Every process of this run carries the mark, the bus daemon and whatever the command
    # starts too: what still carries it after the end was left behind.
    export VIZZOLEN_GNOME_SESSION=$base
    # The bus daemon's own complaints (it cannot raise its file limit here) go to its log.
    printf '#!/bin/sh\nexec dbus-daemon "$@" 2>>"%s"\n' "$base/logs/dbus-daemon.log" >"$base/dbus-daemon"
    chmod 700 "$base/dbus-daemon"
    VIZZOLEN_GNOME_INNER=$base dbus-run-session --config-file="$base/bus.conf" --dbus-daemon="$base/dbus-daemon" \
        -- "$0" "$@" &
    session=$!
    # A signal to this script (ctest's time-out) ends the command and so the session, in order.
    stop_inner() { [ -s "$base/inner.pid" ] && kill -TERM "$(cat "$base/inner.pid")" 2>/dev/null; }
    trap 'stop_inner' TERM INT HUP
    while :; do
        wait "$session"
        rc=$?
        alive "$session" || break
    done

    if [ -n "${GNOME_KEEP_LOGS:-}" ]; then
        mkdir -p "$GNOME_KEEP_LOGS" && cp -p "$base"/logs/*.log "$GNOME_KEEP_LOGS"/ 2>/dev/null
    fi
    left=()
    for e in /proc/[0-9]*/environ; do
        p=${e#/proc/}
        p=${p%/environ}
        [ "$p" = $$ ] && continue
        tr '\0' '\n' 2>/dev/null <"$e" | grep -qxF "VIZZOLEN_GNOME_SESSION=$base" && alive "$p" && left+=("$p")
    done
    if [ ${#left[@]} -gt 0 ]; then
        for p in "${left[@]}"; do
            echo "with-gnome: left running after teardown: $p ($(cat "/proc/$p/comm" 2>/dev/null)), stopped now" >&2
            kill -TERM "$p" 2>/dev/null
        done
        sleep 1
        for p in "${left[@]}"; do alive "$p" && kill -KILL "$p" 2>/dev/null; done
    fi
    rm -rf "$base"
    exit "$rc"
fi

# ---- Inside dbus-run-session.
base=$VIZZOLEN_GNOME_INNER
unset VIZZOLEN_GNOME_INNER
pids=$base/pids
logs=$base/logs
echo $$ >"$base/inner.pid"
exec 3>&2 2>>"$logs/with-gnome.log"
out=3
ulimit -c 0 # the portal backend may crash at teardown: no core files for that

export HOME=$base/home XDG_RUNTIME_DIR=$base/run
unset XDG_CONFIG_HOME XDG_STATE_HOME XDG_DATA_HOME XDG_CACHE_HOME DISPLAY XAUTHORITY WAYLAND_SOCKET \
    DBUS_SYSTEM_BUS_ADDRESS
export WAYLAND_DISPLAY=wayland-vz XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=wayland
# No accessibility bus (nothing would start one).
export NO_AT_BRIDGE=1 GTK_A11Y=none
export VIZZOLEN_GNOME_PIDS=$pids
monitor=${GNOME_MONITOR:-1280x800}

started=()
# start NAME COMMAND...: in the background, its output in logs/NAME.log, its PID in pids/NAME.pid.
# The session's processes keep their settings and state in folders of their own, so that HOME
# is the command's alone; GSettings is a file there (the keyfile backend) rather than dconf,
# which only D-Bus activation would start.
start() {
    local name=$1
    shift
    env XDG_CONFIG_HOME="$base/daemon-config" XDG_STATE_HOME="$base/daemon-state" GSETTINGS_BACKEND=keyfile \
        "$@" >"$logs/$name.log" 2>&1 3>&- &
    echo $! >"$pids/$name.pid"
    started+=("$name")
}

# stop PID NAME: TERM, then KILL after 5 s; a child of ours is reaped.
stop() {
    local pid=$1 name=$2 i
    if ! alive "$pid"; then
        wait "$pid" 2>/dev/null
        echo "$name ($pid) had ended before teardown: status $?" >&2
        return 0
    fi
    kill -TERM "$pid" 2>/dev/null
    for i in $(seq 1 100); do
        alive "$pid" || break
        sleep 0.05
    done
    if alive "$pid"; then
        say "$name ($pid) did not stop on TERM within 5 s; killed"
        kill -KILL "$pid" 2>/dev/null
        sleep 0.1
    fi
    wait "$pid" 2>/dev/null
    echo "$name ($pid) stopped: status $?" >&2
    return 0
}

teardown() {
    trap - EXIT TERM INT HUP
    [ -n "${command_pid:-}" ] && stop "$command_pid" command
    local i name pid
    for ((i = ${#started[@]} - 1; i >= 0; i--)); do
        name=${started[i]}
        pid=$(cat "$pids/$name.pid")
        stop "$pid" "$name"
        if [ "$name" = mutter ] && [ -s "$pids/xwayland.pid" ]; then
            # Xwayland is mutter's child and goes with it; should mutter have died, it is
            # stopped here, by the PID it had (no longer our child, so not reaped here).
            pid=$(cat "$pids/xwayland.pid")
            if alive "$pid" && grep -q Xwayland "/proc/$pid/cmdline" 2>/dev/null; then
                stop "$pid" xwayland
            fi
        fi
    done
}
trap teardown EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP

gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
    -m org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.DBus 2>/dev/null |
    sed -n 's/^(uint32 \([0-9]*\),)$/\1/p' >"$pids/dbus-daemon.pid"
dbus-update-activation-environment HOME XDG_RUNTIME_DIR WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
    NO_AT_BRIDGE GTK_A11Y || fail "dbus-update-activation-environment failed"

# Settings: no animations in GTK's widgets (the dialog's buttons show their state at once), new
# windows that ask for no place (the portal's dialog) in the middle of the monitor
# wherever other windows stand, and for scale 2 the feature that lets a monitor take it
# (mutter offers only scale 1 without it).
mkdir -p "$base/daemon-config/glib-2.0/settings"
{
    echo '[org/gnome/desktop/interface]'
    echo 'enable-animations=false'
    echo '[org/gnome/mutter]'
    echo 'center-new-windows=true'
    [ "${GNOME_SCALE:-1}" = 2 ] && echo "experimental-features=['scale-monitor-framebuffer']"
} >"$base/daemon-config/glib-2.0/settings/keyfile"

mkdir -m 700 "$base/daemon-state"
start pipewire pipewire
await 10 "pipewire socket $XDG_RUNTIME_DIR/pipewire-0" pipewire test -S "$XDG_RUNTIME_DIR/pipewire-0"
start wireplumber wireplumber
wireplumber_up() { pw-dump 2>/dev/null | grep -q '"application.name": "WirePlumber"'; }
await 10 "WirePlumber client on pipewire" wireplumber wireplumber_up

# Its default plug-in animates every window that comes or goes unless told not to.
start mutter env MUTTER_DEBUG_DISABLE_ANIMATIONS=1 mutter --headless --wayland --wayland-display "$WAYLAND_DISPLAY" --virtual-monitor "$monitor"
await 20 "org.gnome.Mutter.ScreenCast on the bus" mutter gdbus wait --session --timeout 1 org.gnome.Mutter.ScreenCast
await 20 "\"Using public X11 display\" in mutter's log" mutter grep -q 'Using public X11 display :[0-9]' "$logs/mutter.log"
display=$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$logs/mutter.log" | head -n1)
auth=$(ls "$XDG_RUNTIME_DIR"/.mutter-Xwaylandauth.* 2>/dev/null | head -n1)
[ -n "$auth" ] || fail "no $XDG_RUNTIME_DIR/.mutter-Xwaylandauth.* for Xwayland" mutter
export DISPLAY=$display XAUTHORITY=$auth
await 20 "Xwayland answering on $DISPLAY" mutter xdpyinfo
for child in $(cat "/proc/$(cat "$pids/mutter.pid")/task/"*/children 2>/dev/null); do
    grep -q Xwayland "/proc/$child/cmdline" 2>/dev/null && echo "$child" >"$pids/xwayland.pid"
done
[ -s "$pids/xwayland.pid" ] || fail "no Xwayland process under mutter" mutter
dbus-update-activation-environment DISPLAY XAUTHORITY || fail "dbus-update-activation-environment failed"

if [ "${GNOME_SCALE:-1}" = 2 ]; then
    scale_monitor() {
        # The current state names the monitor, its mode and the serial the new layout refers to.
        local state serial connector mode
        state=$(gdbus call --session -d org.gnome.Mutter.DisplayConfig -o /org/gnome/Mutter/DisplayConfig \
            -m org.gnome.Mutter.DisplayConfig.GetCurrentState) || return 1
        serial=$(sed -n 's/^(uint32 \([0-9]*\),.*/\1/p' <<<"$state")
        connector=$(grep -o "\[((['\"][^'\"]*['\"]" <<<"$state" | head -n1 | sed "s/^\[((['\"]//; s/['\"]$//")
        mode=$(grep -o "\[(['\"][^'\"]*['\"], [0-9]*, [0-9]*, [0-9.]*, [0-9.]*, \[[^]]*\], {[^}]*'is-current'" <<<"$state" |
            head -n1 | sed "s/^\[(['\"]//; s/['\"],.*//")
        [ -n "$serial" ] && [ -n "$connector" ] && [ -n "$mode" ] || return 1
        gdbus call --session -d org.gnome.Mutter.DisplayConfig -o /org/gnome/Mutter/DisplayConfig \
            -m org.gnome.Mutter.DisplayConfig.ApplyMonitorsConfig "$serial" 1 \
            "[(0, 0, 2.0, uint32 0, true, [('$connector', '$mode', @a{sv} {})])]" "@a{sv} {}" >/dev/null
    }
    scale_monitor >>"$logs/displayconfig.log" 2>&1 || fail "mutter did not take scale 2 (DisplayConfig)" displayconfig
fi

start permission-store /usr/libexec/xdg-permission-store --replace
await 10 "org.freedesktop.impl.portal.PermissionStore on the bus" permission-store \
    gdbus wait --session --timeout 1 org.freedesktop.impl.portal.PermissionStore
if [ "${GNOME_NO_PORTAL_BACKEND:-}" != 1 ] && [ "${GNOME_NO_PORTAL:-}" != 1 ]; then
    start portal-gnome /usr/libexec/xdg-desktop-portal-gnome
    await 20 "org.freedesktop.impl.portal.desktop.gnome on the bus" portal-gnome \
        gdbus wait --session --timeout 1 org.freedesktop.impl.portal.desktop.gnome
fi
if [ "${GNOME_NO_PORTAL:-}" != 1 ]; then
    start portal /usr/libexec/xdg-desktop-portal
    await 20 "org.freedesktop.portal.Desktop on the bus" portal \
        gdbus wait --session --timeout 1 org.freedesktop.portal.Desktop
fi

"$@" 2>&3 3>&- &
command_pid=$!
while :; do
    wait "$command_pid"
    rc=$?
    alive "$command_pid" || break
done
command_pid=
exit "$rc"
