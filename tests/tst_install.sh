#!/usr/bin/env bash
# Installs the build into a scratch prefix, as `cmake --install build --prefix DIR` does for a
# user, and checks what lands there: the program in bin/, nothing else but its desktop entry in
# share/applications/, and an entry that validates and starts the installed program.
#   tst_install.sh CMAKE BUILD_DIR
set -u
cmake=$1
build=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"

files=$(cd "$prefix" && find . -type f | sort)
[ "$files" = $'./bin/vizzolen\n./share/applications/vizzolen.desktop' ] ||
    fail "installed files are not bin/vizzolen and share/applications/vizzolen.desktop:"$'\n'"$files"
[ -x "$prefix/bin/vizzolen" ] || fail "bin/vizzolen is not executable"

entry=$prefix/share/applications/vizzolen.desktop
# Hints count too: an entry the validator has anything to say about is not ready for a menu.
report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate failed: $report"
[ -z "$report" ] || fail "desktop-file-validate: $report"

key() { sed -n "s/^$1=//p" "$entry"; }
[ "$(key Type)" = Application ] || fail "Type is '$(key Type)', not Application"
[ "$(key Name)" = Vizzolen ] || fail "Name is '$(key Name)', not Vizzolen"
[ -n "$(key Comment)" ] || fail "no Comment"
case ";$(key Categories)" in
    *";Accessibility;"*) ;;
    *) fail "Categories '$(key Categories)' do not name Accessibility" ;;
esac
[ "$(key Exec)" = vizzolen ] || fail "Exec is '$(key Exec)', not vizzolen"

# The installed program itself runs: with no display it says so and ends with status 2.
out=$(env -u DISPLAY -u QT_QPA_PLATFORM PATH="$prefix/bin:$PATH" vizzolen 2>&1)
status=$?
[ "$status" -eq 2 ] || fail "the installed vizzolen without a display ended with status $status: $out"
echo "PASS: installed bin/vizzolen and a valid share/applications/vizzolen.desktop"
