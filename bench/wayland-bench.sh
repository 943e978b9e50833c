#!/usr/bin/env bash
# The refresh benchmark on Wayland: Vizzolen on Xwayland under a private headless GNOME
# (tests/wayland/with-gnome.sh: mutter with a 1280x800 virtual monitor, pipewire, wireplumber,
# the portals), taking the screen and the pointer from the screen-cast portal. Prints figures,
# asserts nothing, installs nothing.
#
#   bench/wayland-bench.sh [BUILD_DIR]      (also: bench/run-bench.sh wayland [BUILD_DIR])
#
# Needs the Debian packages of the Wayland tests (TEST_PACKAGES in scripts/packages.sh) and
# BUILD_DIR built with the GUI and the tests (vizzolen, bench/libvizzolen_capturecount.so,
# bench/vizzolen_refresh_bench, bench/vizzolen_wayland_driver).
#
# Per scene (SCENES, default "moving still"): bench/vizzolen_wayland_driver grants the
# screen-cast permission ahead (no dialog), covers the monitor with the native pattern window
# (moving: a band crossing it every frame the compositor asks for; still and static: a fixed
# pattern) and moves the pointer MOVES (25) times a second through mutter's remote desktop over
# the top of the monitor (static: the pointer stays where it is; not run unless named). Then ROUNDS (3) rounds, each of a baseline window of SECONDS_PER_RUN (10) s with
# no magnifier and one with Vizzolen at magnification 3, width 600 (a 200x125 capture shown at
# 600x375), started fresh and given WARMUP (3) s after its first frame. Counted over a window:
#   frames: the pictures put into the display window (xcb_shm_put_image and the rest, counted
#     by the LD_PRELOAD shim bench/capturecount.cpp);
#   buffers: what pw_stream_dequeue_buffer hands the program (the same shim): with pixels (a
#     chunk of some size, not flagged corrupted), without pixels but with a cursor update, and
#     with neither; of all of them those carrying a cursor position; and the calls that found
#     the queue empty (one a wake-up of its reading loop);
#   CPU: the scheduler's run time of every thread (/proc/<pid>/task/*/schedstat) of the program,
#     and of mutter, pipewire, wireplumber and Xwayland: their extra CPU per frame is their rate
#     in the program's window less their rate in the round's baseline window, times the window,
#     divided by the frames;
#   RssAnon of the program at the end of its window.
# The figures are the medians over the rounds. After the first scene's rounds, with its driver
# still running, bench/vizzolen_refresh_bench runs on the same desktop (its capture is the
# portal's): the refresh timed per width and magnification (ITERATIONS, 200), the timer-driven
# refresh, and RssAnon before and after REFRESHES (12000) refreshes, with the buffers it took.
#
# Every process started here is stopped by its PID; the session goes with with-gnome.sh.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SOURCE=$(dirname "$HERE")

if [ "${1:-}" != --in-session ]; then
    BUILD=$(cd "${1:-./build}" && pwd)
    for f in vizzolen bench/libvizzolen_capturecount.so bench/vizzolen_refresh_bench bench/vizzolen_wayland_driver; do
        [ -e "$BUILD/$f" ] || { echo "wayland-bench: $BUILD/$f is missing; build $BUILD (with the tests) first" >&2; exit 1; }
    done
    unset GNOME_SCALE GNOME_NO_PORTAL GNOME_NO_PORTAL_BACKEND
    export GNOME_MONITOR=1280x800
    exec "$SOURCE/tests/wayland/with-gnome.sh" "$HERE/wayland-bench.sh" --in-session "$BUILD"
fi

# ---- Inside the session.
BUILD=$2
ROUNDS=${ROUNDS:-3}
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}
WARMUP=${WARMUP:-3}
SCENES=${SCENES:-moving still}
MOVES=${MOVES:-25}
REFRESHES=${REFRESHES:-12000}
ITERATIONS=${ITERATIONS:-200}
SHIM=$BUILD/bench/libvizzolen_capturecount.so
DAEMONS=(mutter pipewire wireplumber xwayland)

TMP=$(mktemp -d)
chmod 700 "$TMP"
PIDS=()

stop_pid() {
    local pid=$1 kept=() p i
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || true
    for i in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
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
trap 'echo "wayland-bench: interrupted" >&2; exit 130' INT TERM

daemon_pid() { cat "$VIZZOLEN_GNOME_PIDS/$1.pid"; }
cpu_us() {
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ ns += $1 } END { printf "%d\n", ns / 1000 }'
}
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
# Counter $2 (0..7) of the shim's file $1.
counter() { od -An -tu8 -j $(($2 * 8)) -N8 "$1" | tr -d ' '; }
new_counter() { head -c 64 /dev/zero >"$1"; }
now_ms() { date +%s%3N; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

for d in "${DAEMONS[@]}"; do
    [ -n "$(daemon_pid "$d")" ] || { echo "wayland-bench: no PID for $d from with-gnome.sh" >&2; exit 1; }
done

start_driver() {
    local log=$TMP/driver.log i
    : >"$log"
    local args=(--rate "$MOVES")
    case "$1" in
    still) args=(--still --rate "$MOVES") ;;
    static) args=(--still --rate 0) ;;
    esac
    "$BUILD/bench/vizzolen_wayland_driver" "${args[@]}" >"$log" 2>&1 &
    DRIVER=$!
    PIDS+=("$DRIVER")
    for i in $(seq 1 600); do
        grep -q '^ready' "$log" && break
        kill -0 "$DRIVER" 2>/dev/null || { echo "wayland-bench: the driver failed:" >&2; cat "$log" >&2; exit 1; }
        sleep 0.1
    done
    grep -q '^ready' "$log" || { echo "wayland-bench: the driver was not ready within 60 s" >&2; exit 1; }
    sleep 1
}

# One window of SECONDS_PER_RUN seconds. $1 = the program's PID or "", $2 = its counter file.
# Sets W_MS, W_DAEMON_US (the daemons' CPU, in DAEMONS' order), W_CPU_US, W_C (the counters'
# growth, 8 of them), W_ANON0 and W_ANON (RssAnon when the window opens and closes).
measure_window() {
    local pid=$1 cnt=$2 t0 d i base=() c0=()
    t0=$(now_ms)
    for d in "${DAEMONS[@]}"; do base+=("$(cpu_us "$(daemon_pid "$d")")"); done
    local p0=0
    if [ -n "$pid" ]; then
        p0=$(cpu_us "$pid")
        W_ANON0=$(status_kb "$pid" RssAnon)
        for i in 0 1 2 3 4 5 6 7; do c0+=("$(counter "$cnt" "$i")"); done
    fi
    sleep "$SECONDS_PER_RUN"
    W_MS=$(($(now_ms) - t0))
    W_DAEMON_US=()
    for i in "${!DAEMONS[@]}"; do
        W_DAEMON_US+=($(($(cpu_us "$(daemon_pid "${DAEMONS[i]}")") - base[i])))
    done
    W_CPU_US=0 W_ANON=0 W_C=(0 0 0 0 0 0 0 0)
    [ -n "$pid" ] || W_ANON0=0
    if [ -n "$pid" ]; then
        kill -0 "$pid" 2>/dev/null || { echo "wayland-bench: the program under test died" >&2; exit 1; }
        W_CPU_US=$(($(cpu_us "$pid") - p0))
        for i in 0 1 2 3 4 5 6 7; do W_C[i]=$(($(counter "$cnt" "$i") - c0[i])); done
        W_ANON=$(status_kb "$pid" RssAnon)
    fi
}

# Vizzolen as a user starts it on this desktop (no Qt platform named: it picks X11 itself), its
# settings in a folder of its own; returns once it has put a picture and taken a frame.
start_vizzolen() {
    local cfg=$TMP/config i
    mkdir -p "$cfg"
    # The panel's content at 20,620: the display window stands at 281,382 (600x375), below the
    # pointer's path.
    printf '#Window1Position 620,20\n#Magnification 3\n#DWWidth 600\n' >"$cfg/vzln.txt"
    new_counter "$1"
    env -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$cfg" VZLN_BENCH_COUNTER="$1" LD_PRELOAD="$SHIM" \
        "$BUILD/vizzolen" >>"$TMP/vizzolen.log" 2>&1 &
    PROG=$!
    PIDS+=("$PROG")
    for i in $(seq 1 300); do
        [ "$(counter "$1" 1)" -gt 0 ] && [ "$(counter "$1" 2)" -gt 0 ] && break
        kill -0 "$PROG" 2>/dev/null || { echo "wayland-bench: vizzolen ended:" >&2; cat "$TMP/vizzolen.log" >&2; exit 1; }
        sleep 0.1
    done
    [ "$(counter "$1" 2)" -gt 0 ] || {
        echo "wayland-bench: vizzolen took no frame from the screen-cast stream within 30 s" >&2
        cat "$TMP/vizzolen.log" >&2
        exit 1
    }
    sleep "$WARMUP"
}

scene_rounds() {
    local scene=$1 r rows=$TMP/rows.$1 base_line
    : >"$rows"
    for ((r = 1; r <= ROUNDS; r++)); do
        measure_window "" ""
        base_line="${W_DAEMON_US[*]}"
        printf '  round %d baseline  %5d ms: mutter %6.1f  pipewire %5.1f  wireplumber %5.1f  Xwayland %5.1f ms CPU\n' \
            "$r" "$W_MS" $(for u in "${W_DAEMON_US[@]}"; do awk -v u="$u" 'BEGIN { printf "%.1f ", u / 1000 }'; done)
        local bms=$W_MS
        start_vizzolen "$TMP/vizzolen.count"
        measure_window "$PROG" "$TMP/vizzolen.count"
        stop_pid "$PROG"
        printf '  round %d vizzolen  %5d ms: mutter %6.1f  pipewire %5.1f  wireplumber %5.1f  Xwayland %5.1f ms CPU; own %6.1f ms CPU, %4d frames, buffers %4d pixels %4d cursor-only %3d neither (%4d with a cursor position), %4d empty dequeues; RssAnon %d -> %d kB\n' \
            "$r" "$W_MS" $(for u in "${W_DAEMON_US[@]}"; do awk -v u="$u" 'BEGIN { printf "%.1f ", u / 1000 }'; done) \
            "$(awk -v u="$W_CPU_US" 'BEGIN { printf "%.1f", u / 1000 }')" "${W_C[1]}" "${W_C[2]}" "${W_C[3]}" "${W_C[4]}" "${W_C[6]}" "${W_C[5]}" "$W_ANON0" "$W_ANON"
        echo "$bms $base_line $W_MS ${W_DAEMON_US[*]} $W_CPU_US ${W_C[*]} $W_ANON" >>"$rows"
    done
    # Columns: 1 baseline ms, 2-5 baseline daemons, 6 window ms, 7-10 daemons, 11 own CPU,
    # 12-19 counters, 20 RssAnon.
    awk '
    function median(list,   n, i, j, t, a) {
        n = split(list, a, " ")
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    {
        bms = $1; ms = $6; f = $13
        FPS = FPS " " f * 1000 / ms
        OWN = OWN " " (f ? $11 / f / 1000 : 0)
        sum = 0
        for (d = 0; d < 4; d++) {
            extra = f ? ($(7 + d) / ms - $(2 + d) / bms) * ms / f / 1000 : 0
            EXTRA[d] = EXTRA[d] " " extra; sum += extra
            BASE[d] = BASE[d] " " $(2 + d) / bms
        }
        DSUM = DSUM " " sum; TOTAL = TOTAL " " (sum + (f ? $11 / f / 1000 : 0))
        OWNRATE = OWNRATE " " $11 / ms
        MUTTERRATE = MUTTERRATE " " ($7 / ms - $2 / bms); XWRATE = XWRATE " " ($10 / ms - $5 / bms)
        PIX = PIX " " $14 * 1000 / ms; CUR = CUR " " $15 * 1000 / ms; NEI = NEI " " $16 * 1000 / ms
        EMPTY = EMPTY " " $17 * 1000 / ms; POS = POS " " $18 * 1000 / ms
        ANON = ANON " " $20 / 1024
    }
    END {
        printf "  medians: %.1f frames/s shown; own CPU %.3f ms/frame; RssAnon %.1f MB\n", median(FPS), median(OWN), median(ANON)
        printf "    extra CPU per frame against the baseline: mutter %.3f  pipewire %.3f  wireplumber %.3f  Xwayland %.3f  (together %.3f; with own %.3f) ms\n",
            median(EXTRA[0]), median(EXTRA[1]), median(EXTRA[2]), median(EXTRA[3]), median(DSUM), median(TOTAL)
        printf "    per second: own CPU %.1f ms, mutter %.1f ms beyond its baseline of %.1f, Xwayland %.1f ms beyond %.2f (pipewire %.2f, wireplumber %.2f at baseline)\n",
            median(OWNRATE), median(MUTTERRATE), median(BASE[0]), median(XWRATE), median(BASE[3]), median(BASE[1]), median(BASE[2])
        printf "    buffers received per second: %.1f with pixels, %.1f cursor-only, %.1f neither (%.1f with a cursor position); %.1f empty dequeues/s\n",
            median(PIX), median(CUR), median(NEI), median(POS), median(EMPTY)
    }' "$rows"
}

memory_run() {
    local cnt=$TMP/refresh.count
    new_counter "$cnt"
    echo "refresh bench on the portal's capture (vizzolen_refresh_bench $ITERATIONS $REFRESHES):"
    env QT_QPA_PLATFORM=xcb VZLN_BENCH_COUNTER="$cnt" LD_PRELOAD="$SHIM" \
        "$BUILD/bench/vizzolen_refresh_bench" "$ITERATIONS" "$REFRESHES" >"$TMP/refresh.out" 2>"$TMP/refresh.err" &
    local pid=$!
    PIDS+=("$pid")
    local rc=0
    wait "$pid" || rc=$?
    PIDS=("${PIDS[@]:0:${#PIDS[@]}-1}")
    sed 's/^/  /' "$TMP/refresh.out"
    [ "$rc" = 0 ] || { echo "wayland-bench: vizzolen_refresh_bench failed ($rc):" >&2; cat "$TMP/refresh.err" >&2; exit 1; }
    printf '  buffers it took: %d with pixels, %d cursor-only, %d neither; %d pictures put\n' \
        "$(counter "$cnt" 2)" "$(counter "$cnt" 3)" "$(counter "$cnt" 4)" "$(counter "$cnt" 1)"
}

echo "wayland: headless GNOME (mutter $(mutter --version 2>/dev/null | head -n1 | awk '{ print $2 }'), 1280x800 virtual monitor), $ROUNDS rounds of $SECONDS_PER_RUN s, magnification 3, width 600, pointer $MOVES moves/s"
echo "date $(date -u '+%Y-%m-%d %H:%M UTC'); load before: $(load)"
first=1
for scene in $SCENES; do
    case "$scene" in
    moving) echo "scene moving: the native window changes every frame, the pointer moves over it" ;;
    still) echo "scene still: the native window stays as it is, the pointer moves over it" ;;
    static) echo "scene static: the native window stays as it is, the pointer does not move" ;;
    *) echo "wayland-bench: unknown scene $scene (moving, still, static)" >&2; exit 2 ;;
    esac
    start_driver "$scene"
    scene_rounds "$scene"
    if [ "$first" = 1 ] && [ "$REFRESHES" -gt 0 ]; then
        memory_run
    fi
    first=0
    stop_pid "$DRIVER"
    sed -n 's/^moved/  driver: moved/p' "$TMP/driver.log"
done
echo "load after: $(load)"
