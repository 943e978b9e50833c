#!/usr/bin/env bash
# The refresh benchmark. Prints figures, asserts nothing, installs nothing.
#
#   bench/run-bench.sh [compare] [BUILD_DIR]   (default; BUILD_DIR defaults to ./build)
#   bench/run-bench.sh refresh [BUILD_DIR]
#   bench/run-bench.sh wayland [BUILD_DIR]     (the Wayland mode: bench/wayland-bench.sh)
#
# Needs the Debian packages xvfb, xterm, xdotool and xzoom, and BUILD_DIR built with the GUI
# (it holds vizzolen, bench/libvizzolen_capturecount.so and bench/vizzolen_refresh_bench).
#
# compare: on a private Xvfb (2560x1600x24) with an xterm scrolling a directory listing and the
#   pointer moving over it, measures for ROUNDS (3) rounds of SECONDS_PER_RUN (10) seconds each,
#   in turn: the screen alone (baseline), Vizzolen with the view drawn by the X server
#   ("vizzolen"), Vizzolen drawing the view itself ("vz-client", VIZZOLEN_NO_RENDER=1: the
#   capture through MIT-SHM, scaled in the program, put through MIT-SHM), and xzoom. At scale 1
#   Vizzolen runs at magnification 3 with a 600x375 view (a 200x125 capture) and xzoom as
#   `xzoom -mag 3 -source 200x125`; with QT_SCALE_FACTOR=2 Vizzolen's 600x375 view is 1200x750
#   device pixels showing a 600x375 capture, and xzoom runs as `-mag 2 -source 600x375`. xzoom
#   is set to 50 ms (two `d` presses). Each program is started fresh per round and given WARMUP
#   seconds before the measurement window opens. The figures are the medians over the rounds.
#   SCENES (default "moving still reading") picks the scenes, each run at every scale of SCALES
#   (default "1 2"): "moving" is the one above; "still" is an xterm holding a page of text that
#   does not change, the pointer still over it; "reading" is that page with the pointer moved
#   five times a second, a few pixels along a line at a time, as a reader's eye and hand go. In
#   the moving scene the CPU columns are per frame the program drew, as ever; in the still and
#   reading scenes, where the view drawn by the server draws a frame only when something in it
#   changed, they are per 50 ms tick of the run (frames drawn or not), which for xzoom and the
#   program drawing its view itself is the same thing.
#   Frames are the pictures the program really puts into its window, and next to them the
#   screen reads it makes: an LD_PRELOAD shim (bench/capturecount.cpp) wraps
#   xcb_render_composite, xcb_shm_put_image/xcb_put_image (Vizzolen, Qt) and
#   XShmPutImage/XPutImage (xzoom), and xcb_copy_area, xcb_shm_get_image/xcb_get_image and
#   XShmGetImage/XGetImage, with dlsym(RTLD_NEXT), and counts each call in a shared file that is
#   read when the window opens and closes.
#   CPU is the scheduler's run time of every thread (/proc/<pid>/task/*/schedstat) over the
#   window; the X server's extra CPU is Xvfb's CPU rate during the program's window less its
#   rate during that round's baseline window, divided by the frame rate. RSS and RssAnon come
#   from /proc/<pid>/status at the end of the window.
# refresh: runs bench/vizzolen_refresh_bench on a private Xvfb four times, on both ways of
#   drawing the view, once on a scale-1 screen (details1()) and once with QT_SCALE_FACTOR=2
#   (details()): per width 200..600 and
#   magnification 2..6 the refresh alone, refresh plus a synchronous paint, the raw capture of
#   the same rectangle, their ratio, whether the picture equals QPainter's scaling of the
#   capture, and RssAnon before and after 12,000 refreshes. The screen is still: where the
#   server draws the view and reports damage, those refreshes only read the pointer.
#
# Every process started here is stopped by its PID when the script ends, also on Ctrl-C or error.
set -euo pipefail

if [ "${1:-}" = wayland ]; then
    shift
    exec "$(dirname "$0")/wayland-bench.sh" "$@"
fi

MODE=compare
case "${1:-}" in
compare | refresh) MODE=$1; shift ;;
esac
BUILD=$(cd "${1:-./build}" && pwd)
ROUNDS=${ROUNDS:-3}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}
WARMUP=${WARMUP:-2}

for tool in Xvfb xterm xdotool xzoom; do
    command -v "$tool" >/dev/null || { echo "run-bench: $tool is missing (Debian packages: xvfb xterm xdotool xzoom)" >&2; exit 1; }
done
for f in vizzolen bench/libvizzolen_capturecount.so bench/vizzolen_refresh_bench; do
    [ -e "$BUILD/$f" ] || { echo "run-bench: $BUILD/$f is missing; build $BUILD first" >&2; exit 1; }
done

TMP=$(mktemp -d)
chmod 700 "$TMP"
PIDS=()

# Stops one started process and forgets it. Its descendants (the shell loop an xterm runs, the
# pipeline in it) go first, each by its PID as /proc lists it.
kill_descendants() {
    local child
    for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
        kill_descendants "$child"
        kill "$child" 2>/dev/null || true
    done
}
stop_pid() {
    local pid=$1 kept=() p
    [ -n "$pid" ] || return 0
    kill_descendants "$pid"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for p in "${PIDS[@]}"; do [ "$p" = "$pid" ] || kept+=("$p"); done
    PIDS=("${kept[@]+"${kept[@]}"}")
}

cleanup() {
    trap - EXIT INT TERM
    local i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_pid "${PIDS[i]}"; done
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'echo "run-bench: interrupted" >&2; exit 130' INT TERM

start_xvfb() {
    local fdfile=$TMP/displayfd
    : >"$fdfile"
    Xvfb -displayfd 3 -screen 0 2560x1600x24 -nolisten tcp -noreset 3>"$fdfile" 2>"$TMP/xvfb.log" &
    XVFB=$!
    PIDS+=("$XVFB")
    for _ in $(seq 1 100); do
        [ -s "$fdfile" ] && break
        kill -0 "$XVFB" 2>/dev/null || { echo "run-bench: Xvfb failed:" >&2; cat "$TMP/xvfb.log" >&2; exit 1; }
        sleep 0.1
    done
    [ -s "$fdfile" ] || { echo "run-bench: Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$fdfile")"
    export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$TMP
}

# CPU time of a process, all its threads, in microseconds: the scheduler's own nanosecond count
# (/proc/<pid>/task/*/schedstat), not the 10 ms ticks of /proc/<pid>/stat.
cpu_us() {
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ ns += $1 } END { printf "%d\n", ns / 1000 }'
}
us_to_ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
counter() { od -An -tu8 -j "$2" -N8 "$1" | tr -d ' '; }
now_ms() { date +%s%3N; }

# Moves the pointer over the scrolling text every 40 ms for $1 seconds, in one xdotool process.
start_pointer_moving() {
    local steps=$(($1 * 25)) args=() i x y
    for ((i = 0; i < steps; i++)); do
        x=$((350 + (i * 7) % 300 - 150 + (i % 2) * 3))
        y=$((300 + (i * 5) % 200 - 100))
        args+=(mousemove "$x" "$y" sleep 0.04)
    done
    xdotool "${args[@]}" &
    MOVER=$!
    PIDS+=("$MOVER")
}

# The still scene's pointer stays where the scene put it.
start_pointer_still() { MOVER=; }

# Moves the pointer five times a second for $1 seconds, 7 pixels to the right each time (about
# one character of the xterm's font), back to the left 13 pixels lower after 30 moves, as over
# the lines of a page; in one xdotool process.
start_pointer_reading() {
    local steps=$(($1 * 5)) args=() i
    for ((i = 0; i < steps; i++)); do
        args+=(mousemove $((250 + (i % 30) * 7)) $((240 + (i / 30 % 12) * 13)) sleep 0.2)
    done
    xdotool "${args[@]}" &
    MOVER=$!
    PIDS+=("$MOVER")
}

# One measurement window of SECONDS_PER_RUN seconds. $1 = program pid or "", $2 = counter file.
# Sets W_MS, W_XVFB_US, W_CPU_US, W_FRAMES (pictures put), W_READS (screen reads), W_RSS, W_ANON.
measure_window() {
    local pid=$1 cnt=$2 t0 x0 c0=0 f0=0 p0=0
    "start_pointer_$SCENE" $((SECONDS_PER_RUN + 1))
    sleep 0.2
    t0=$(now_ms); x0=$(cpu_us "$XVFB")
    if [ -n "$pid" ]; then c0=$(cpu_us "$pid"); f0=$(counter "$cnt" 0); p0=$(counter "$cnt" 8); fi
    sleep "$SECONDS_PER_RUN"
    W_MS=$(($(now_ms) - t0)); W_XVFB_US=$(($(cpu_us "$XVFB") - x0))
    W_CPU_US=0 W_FRAMES=0 W_READS=0 W_RSS=0 W_ANON=0
    if [ -n "$pid" ]; then
        kill -0 "$pid" 2>/dev/null || { echo "run-bench: the program under test died" >&2; exit 1; }
        W_CPU_US=$(($(cpu_us "$pid") - c0))
        W_READS=$(($(counter "$cnt" 0) - f0)); W_FRAMES=$(($(counter "$cnt" 8) - p0))
        W_RSS=$(status_kb "$pid" VmRSS); W_ANON=$(status_kb "$pid" RssAnon)
    fi
    stop_pid "$MOVER"
}

new_counter() { head -c 16 /dev/zero >"$1"; }

# $1 = counter file; SCALE (1 or 2) picks the scale and where the panel stands; EXTRA_ENV
# holds further NAME=value settings.
start_vizzolen() {
    local cfg=$TMP/config
    mkdir -p "$cfg"
    # The panel's content at left 1000, top 500 (scale 1) or 300, 500 (scale 2, device-
    # independent): the display window stands at 1261,262 or, in device pixels, 1122,524, where
    # xzoom's window is put too, clear of the xterm.
    if [ "$SCALE" = 2 ]; then
        printf '#Window1Position 500,300\n#Magnification 3\n#DWWidth 600\n' >"$cfg/vzln.txt"
    else
        printf '#Window1Position 500,1000\n#Magnification 3\n#DWWidth 600\n' >"$cfg/vzln.txt"
    fi
    new_counter "$1"
    env XDG_CONFIG_HOME="$cfg" VZLN_BENCH_COUNTER="$1" LD_PRELOAD="$BUILD/bench/libvizzolen_capturecount.so" \
        ${EXTRA_ENV:-} "$BUILD/vizzolen" >"$TMP/vizzolen.log" 2>&1 &
    PROG=$!
    PIDS+=("$PROG")
    sleep "$WARMUP"
}
start_vz-client() { EXTRA_ENV=VIZZOLEN_NO_RENDER=1 start_vizzolen "$@"; }

start_xzoom() {
    local id="" i mag=3 source=200x125+40+40 at=+1261+262
    [ "$SCALE" = 2 ] && mag=2 source=600x375+40+40 at=+1122+524
    new_counter "$1"
    VZLN_BENCH_COUNTER=$1 LD_PRELOAD=$BUILD/bench/libvizzolen_capturecount.so \
        xzoom -mag "$mag" -source "$source" -geometry "$at" >"$TMP/xzoom.log" 2>&1 &
    PROG=$!
    PIDS+=("$PROG")
    for i in $(seq 1 50); do
        id=$(xdotool search --name '^xzoom' 2>/dev/null | head -n1) && [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "run-bench: no xzoom window" >&2; exit 1; }
    # 200 ms -> 100 ms -> 50 ms between frames.
    xdotool key --window "$id" d d 2>/dev/null
    sleep "$WARMUP"
}

# One scale's rounds; prints every round and the medians.
compare_scale() {
    local r name rows=$TMP/rows.$SCALE base_x_rate
    : >"$rows"
    echo "$SCENE scene, scale $SCALE:"
    for ((r = 1; r <= ROUNDS; r++)); do
        measure_window "" ""
        base_x_rate=$(awk -v x="$W_XVFB_US" -v ms="$W_MS" 'BEGIN { printf "%.6f", x / ms }')
        printf '  round %d %-9s Xvfb %6.1f ms CPU in %5d ms\n' "$r" baseline "$(us_to_ms "$W_XVFB_US")" "$W_MS"
        for name in vizzolen vz-client xzoom; do
            "start_$name" "$TMP/$name.count"
            measure_window "$PROG" "$TMP/$name.count"
            stop_pid "$PROG"
            printf '  round %d %-9s Xvfb %6.1f ms CPU in %5d ms; own %6.1f ms CPU, %4d frames, %4d screen reads\n' \
                "$r" "$name" "$(us_to_ms "$W_XVFB_US")" "$W_MS" "$(us_to_ms "$W_CPU_US")" "$W_FRAMES" "$W_READS"
            echo "$name $W_MS $W_XVFB_US $W_CPU_US $W_FRAMES $W_READS $W_RSS $W_ANON $base_x_rate" >>"$rows"
        done
    done
    awk '
    function median(list, n,   i, j, t, a) {
        split(list, a, " ")
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    {
        name = $1; ms = $2; x = $3; c = $4; f = $5; p = $6
        # per frame drawn, or per 50 ms tick of the run
        d = per == "tick" ? ms / 50 : f
        own = d ? c / d / 1000 : 0
        srv = d ? (x / ms - $9) * ms / d / 1000 : 0
        N[name]++
        OWN[name] = OWN[name] " " own; SRV[name] = SRV[name] " " srv; SUM[name] = SUM[name] " " (own + srv)
        FPS[name] = FPS[name] " " (f * 1000 / ms); READS[name] = READS[name] " " (p * 1000 / ms)
        RSS[name] = $7; ANON[name] = $8
    }
    END {
        split("vizzolen vz-client xzoom", names, " ")
        for (k = 1; k <= 3; k++) {
            name = names[k]; n = N[name]
            o[name] = median(OWN[name], n); s[name] = median(SRV[name], n); t[name] = median(SUM[name], n)
            printf "  %-9s %5.1f fps  own CPU %6.3f ms/%s  X server extra %6.3f ms/%s  own + X %6.3f  RSS %6.1f MB  RssAnon %5.1f MB  screen reads %5.1f/s\n",
                name, median(FPS[name], n), o[name], per, s[name], per, t[name], RSS[name] / 1024, ANON[name] / 1024, median(READS[name], n)
        }
        for (k = 1; k <= 2; k++) {
            name = names[k]
            if (o["xzoom"] > 0 && t["xzoom"] > 0)
                printf "  ratio %s/xzoom: own CPU %.2f, own + X server CPU %.2f\n", name, o[name] / o["xzoom"], t[name] / t["xzoom"]
        }
        if (t["vz-client"] > 0)
            printf "  ratio vizzolen/vz-client: own CPU %.2f, own + X server CPU %.2f\n", o["vizzolen"] / o["vz-client"], t["vizzolen"] / t["vz-client"]
        print "  (medians over the rounds; X server extra against each round'"'"'s baseline)"
    }' per="$PER" "$rows"
}

# A directory listing scrolling by at about 800 lines a second: a screen that changes all the
# time without keeping the X server busy (unthrottled, xterm saturates it and every figure
# becomes noise).
start_scene_moving() {
    xterm -geometry 150x60+0+0 -e bash -c \
        'while :; do ls -lR /usr; done | while :; do head -n 40; sleep 0.05; done' 2>/dev/null &
    XTERM=$!
    PIDS+=("$XTERM")
    PER=frame
    sleep 1
}

# A page of text that stays as it is (xterm's cursor does not blink), the pointer on it.
start_scene_still() {
    xterm -geometry 150x60+0+0 -e bash -c 'ls -l /usr/bin | head -n 58; exec sleep 100000' 2>/dev/null &
    XTERM=$!
    PIDS+=("$XTERM")
    PER=tick
    sleep 1
    xdotool mousemove 350 300
}
start_scene_reading() { start_scene_still; }

compare() {
    start_xvfb
    echo "compare: Xvfb $DISPLAY 2560x1600x24, $ROUNDS rounds of ${SECONDS_PER_RUN} s per program, CPU from /proc/<pid>/task/*/schedstat"
    echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
    for SCENE in ${SCENES:-moving still reading}; do
        "start_scene_$SCENE"
        for SCALE in ${SCALES:-1 2}; do
            if [ "$SCALE" = 2 ]; then export QT_SCALE_FACTOR=2; else unset QT_SCALE_FACTOR; fi
            compare_scale
        done
        unset QT_SCALE_FACTOR
        stop_pid "$XTERM"
    done
    echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
}

refresh() {
    start_xvfb
    local scale way
    for scale in 1 2; do
        if [ "$scale" = 2 ]; then export QT_SCALE_FACTOR=2; else unset QT_SCALE_FACTOR; fi
        for way in server client; do
            if [ "$way" = client ]; then export VIZZOLEN_NO_RENDER=1; else unset VIZZOLEN_NO_RENDER; fi
            "$BUILD/bench/vizzolen_refresh_bench" "${ITERATIONS:-1000}" "${MEMORY_REFRESHES:-12000}" \
                &
            PIDS+=("$!")
            wait "$!"
            PIDS=("${PIDS[@]:0:${#PIDS[@]}-1}")
        done
    done
    unset QT_SCALE_FACTOR VIZZOLEN_NO_RENDER
}

"$MODE"
