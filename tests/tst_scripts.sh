#!/usr/bin/env bash
# scripts/start and scripts/packages.sh where they must stop before installing anything: no X
# display, and missing packages for a user who cannot become root. apt-get, sudo, cmake and
# dpkg-query are stubs that log their calls, id makes the caller an ordinary user, and nothing is
# installed or built.
#   tst_scripts.sh SOURCE_DIR VIZZOLEN_BINARY
set -u
src=$1
vizzolen=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

log=$work/calls
# stub NAME BODY: a command NAME in $work/BIN that logs "NAME ARGS" and then runs BODY.
stub() {
    local dir=$work/$1
    mkdir -p "$dir"
    printf '#!/bin/bash\necho "%s $*" >>"%s"\n%s\n' "$2" "$log" "$3" >"$dir/$2"
    chmod +x "$dir/$2"
}

no_display='vizzolen: no X display: DISPLAY is not set. Start Vizzolen from an X11 desktop session.'

# --- scripts/start with no display: the program's own message and status, nothing else run.
for tool in apt-get sudo cmake dpkg-query; do
    stub tools "$tool" 'exit 1'
done
for case in "DISPLAY unset|env -u DISPLAY -u QT_QPA_PLATFORM" \
            "DISPLAY empty|env -u QT_QPA_PLATFORM DISPLAY=" \
            "DISPLAY unset, platform xcb|env -u DISPLAY QT_QPA_PLATFORM=xcb"; do
    name=${case%%|*}
    read -ra environment <<<"${case#*|}"
    : >"$log"
    out=$("${environment[@]}" PATH="$work/tools:$PATH" "$src/scripts/start" </dev/null 2>"$work/err")
    status=$?
    [ "$status" -eq 2 ] || fail "start, $name: status $status, not 2"
    [ "$(cat "$work/err")" = "$no_display" ] || fail "start, $name: said '$(cat "$work/err")'"
    [ -z "$out" ] || fail "start, $name: printed '$out'"
    [ ! -s "$log" ] || fail "start, $name: ran $(tr '\n' ';' <"$log")"
done
# The program says the same, so the two cannot drift apart.
program=$(env -u DISPLAY -u QT_QPA_PLATFORM "$vizzolen" 2>&1)
status=$?
[ "$status" -eq 2 ] && [ "$program" = "$no_display" ] ||
    fail "the program without a display: status $status, said '$program'"

# --- ensure_packages as an ordinary user, with two packages missing. Only the listed tools are
# on PATH, so "no sudo" really has none.
rm -rf "$work/tools"
mkdir "$work/base"
for tool in dpkg-query grep env; do
    ln -s "$(command -v "$tool")" "$work/base/$tool"
done
stub base id 'echo 1000'
stub base apt-get 'exit 0'
missing='vizzolen-test-missing-a vizzolen-test-missing-b'
run_as_user() { # SUDO_DIR [terminal]: runs ensure_packages g++ + the missing ones
    local path=$work/base
    [ -n "$1" ] && path=$path:$work/$1
    local command=". '$src/scripts/packages.sh' && ensure_packages g++ $missing"
    : >"$log"
    if [ "${2:-}" = terminal ]; then
        # script(1) gives the shell a terminal, as a user at a console has.
        env -i PATH="$path" "$(command -v script)" -qec "/bin/bash -c \"$command\" 2>'$work/err'" /dev/null >"$work/out" </dev/null
    else
        env -i PATH="$path" /bin/bash -c "$command" >"$work/out" 2>"$work/err" </dev/null
    fi
}
refused() { # CASE: ensure_packages failed with the one message and installed nothing
    local advice="    apt-get update && apt-get install --no-install-recommends $missing"
    [ "$status" -ne 0 ] || fail "$1: status 0"
    [ "$(wc -l <"$work/err")" -eq 2 ] && [ "$(sed -n 2p "$work/err")" = "$advice" ] &&
        grep -q '^Vizzolen needs Debian packages .* As root, run:$' "$work/err" ||
        fail "$1: said '$(cat "$work/err")'"
    ! grep -q 'Installing' "$work/out" || fail "$1: printed '$(cat "$work/out")'"
    ! grep -q -e '^apt-get' -e '^sudo env' "$log" || fail "$1: ran $(tr '\n' ';' <"$log")"
}
installed() { # CASE: ensure_packages installed the missing packages, and only those, via sudo
    [ "$status" -eq 0 ] || fail "$1: status $status: $(cat "$work/err")"
    grep -q "^sudo .*apt-get install .* $missing\$" "$log" && grep -q "^apt-get install .* $missing\$" "$log" ||
        fail "$1: ran $(tr '\n' ';' <"$log")"
}

run_as_user ""
status=$?
refused "no sudo"
run_as_user "" terminal
status=$?
refused "no sudo, on a terminal"

stub sudo-refuses sudo 'exit 1'
run_as_user sudo-refuses
status=$?
refused "sudo needs a password, no terminal"
grep -q '^sudo -v' "$log" && fail "sudo needs a password, no terminal: asked for it"

run_as_user sudo-refuses terminal
status=$?
refused "sudo refuses on a terminal"
grep -q '^sudo -v' "$log" || fail "sudo refuses on a terminal: did not let sudo ask for a password"

# A password typed at sudo's prompt: sudo -n fails, sudo -v succeeds, the rest goes through.
stub sudo-asks sudo '[ "$1" = -n ] && exit 1; [ "$1" = -v ] && exit 0; "$@"'
run_as_user sudo-asks terminal
status=$?
installed "sudo with a password on a terminal"

stub sudo-free sudo '[ "$1" = -n ] && shift; "$@"'
run_as_user sudo-free
status=$?
installed "sudo without a password"

[ "$failures" -eq 0 ] || exit 1
echo "PASS: scripts/start without a display, ensure_packages without root"
