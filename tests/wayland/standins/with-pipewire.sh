#!/usr/bin/env bash
# Runs one command with a session bus, PipeWire and WirePlumber of its own, started here and
# stopped by their PIDs when the command ends:
#   - XDG_RUNTIME_DIR: a new private folder (mode 700), where PipeWire makes its socket pipewire-0
#   - DBUS_SESSION_BUS_ADDRESS: a private bus on which nothing can be started by activation, so
#     that no real portal answers in place of a test's own (or of none)
#   - WirePlumber, because nothing else links a consumer's stream to the node it names; its
#     state and settings stay in this run's folder
# Waits until WirePlumber is in the graph before the command starts. The command's status is
# this script's; when the command fails, the logs of the three follow on stderr.
set -u
for tool in dbus-daemon:dbus-daemon pipewire:pipewire pw-cli:pipewire-bin wireplumber:wireplumber; do
    command -v "${tool%%:*}" >/dev/null ||
        { echo "with-pipewire: ${tool%%:*} is not installed (Debian package ${tool#*:})" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/with-pipewire.XXXXXX") || exit 1
chmod 700 "$work"
mkdir -m 700 "$work/runtime" "$work/state" "$work/config"
pids=()
stop() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
    rm -rf "$work"
}
trap stop EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
logs() {
    local f
    for f in "$work"/*.log; do
        [ -s "$f" ] && { echo "--- ${f##*/}" >&2; tail -n 30 "$f" >&2; }
    done
}
fail() {
    echo "with-pipewire: $*" >&2
    logs
    exit 1
}

cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$work/bus.conf" --nofork --print-address=3 3>"$work/bus.address" \
    2>"$work/dbus.log" &
pids+=($!)
for _ in $(seq 1 100); do
    [ -s "$work/bus.address" ] && break
    kill -0 "${pids[0]}" 2>/dev/null || fail "dbus-daemon did not start"
    sleep 0.05
done
[ -s "$work/bus.address" ] || fail "dbus-daemon gave no address in 5 s"
export DBUS_SESSION_BUS_ADDRESS
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus.address")

export XDG_RUNTIME_DIR="$work/runtime"
unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PIPEWIRE_CONFIG_DIR
XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" pipewire >"$work/pipewire.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
    [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break
    kill -0 "${pids[1]}" 2>/dev/null || fail "pipewire did not start"
    sleep 0.05
done
[ -S "$XDG_RUNTIME_DIR/pipewire-0" ] || fail "pipewire made no socket in 5 s"

XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" wireplumber >"$work/wireplumber.log" 2>&1 &
pids+=($!)
# WirePlumber's "default" metadata says that its policy is loaded.
ready=
for _ in $(seq 1 100); do
    if timeout 5 pw-cli ls Metadata 2>/dev/null | grep -q 'metadata.name = "default"'; then
        ready=1
        break
    fi
    kill -0 "${pids[2]}" 2>/dev/null || fail "wireplumber did not start"
    sleep 0.1
done
[ -n "$ready" ] || fail "wireplumber was not ready in 10 s"

"$@"
status=$?
[ "$status" -eq 0 ] || logs
exit "$status"
