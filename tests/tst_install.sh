#!/usr/bin/env bash
# Installs the build into a scratch prefix, as `cmake --install build --prefix DIR` does for a
# user, and checks what lands there: the program in bin/, its desktop entry, its icon in the
# hicolor theme and its AppStream metainfo, all named by the one application ID, nothing else;
# the entry and the metainfo pass their validators, the icon's PNGs are the SVG's renderings at
# the sizes their folders say, the entry's icon is found, and the program runs.
#   tst_install.sh CMAKE BUILD_DIR APP_ID
set -u
cmake=$1
build=$2
id=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"

sizes="16 32 48 64 128 256"
expected="./bin/vizzolen
./share/applications/$id.desktop
./share/icons/hicolor/scalable/apps/$id.svg
./share/metainfo/$id.metainfo.xml"
for size in $sizes; do
    expected+=$'\n'"./share/icons/hicolor/${size}x${size}/apps/$id.png"
done
expected=$(LC_ALL=C sort <<<"$expected")
files=$(cd "$prefix" && find . -type f -o -type l | LC_ALL=C sort)
[ "$files" = "$expected" ] ||
    fail "installed files are not the expected ones:"$'\n'"$(diff <(echo "$expected") <(echo "$files"))"
[ -x "$prefix/bin/vizzolen" ] || fail "bin/vizzolen is not executable"

entry=$prefix/share/applications/$id.desktop
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
# Which class it must name, the program's windows say (tst_e2e_frame compares the two).
[ -n "$(key StartupWMClass)" ] || fail "no StartupWMClass: a dock cannot match the windows to the entry"

# The entry's icon, looked up as a desktop does: a name in the hicolor theme, by the ID.
icon=$(key Icon)
[ "$icon" = "$id" ] || fail "Icon is '$icon', not the application ID $id"
found=$(find "$prefix/share/icons/hicolor" -path "*/apps/$icon.png" -o -path "*/apps/$icon.svg")
[ -n "$found" ] || fail "Icon '$icon' is no file under share/icons/hicolor"

# Every PNG has the size its folder names and is the SVG rendered at that size.
svg=$prefix/share/icons/hicolor/scalable/apps/$id.svg
render=$(mktemp -d)
trap 'rm -rf "$prefix" "$render"' EXIT
for size in $sizes; do
    png=$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png
    got=$(identify -format '%m %wx%h' "$png" 2>&1)
    [ "$got" = "PNG ${size}x${size}" ] || fail "${size}x${size}/apps/$id.png is '$got', not a PNG of ${size}x${size}"
    rsvg-convert --width "$size" --height "$size" --output "$render/$size.png" "$svg" ||
        fail "the installed SVG does not render at $size px"
    differ=$(compare -metric AE "$png" "$render/$size.png" null: 2>&1)
    [ "$differ" = 0 ] || fail "${size}x${size}/apps/$id.png is not the installed SVG at $size px ($differ pixels differ)"
done

# The metainfo: nothing above info from the validator (pedantic and info lines are allowed),
# alone and in the installed tree, where it also finds the desktop entry it names.
metainfo=$prefix/share/metainfo/$id.metainfo.xml
appstream() { # COMMAND PATH
    local report status
    report=$(appstreamcli "$1" --no-net "$2" 2>&1)
    status=$?
    [ "$status" -eq 0 ] || fail "appstreamcli $1 ended with status $status: $report"
    ! grep -qE '^ *[EW]: ' <<<"$report" || fail "appstreamcli $1: $report"
}
appstream validate "$metainfo"
appstream validate-tree "$prefix"
value() { xmllint --xpath "string($1)" "$metainfo"; }
[ "$(value /component/id)" = "$id" ] || fail "metainfo id is '$(value /component/id)', not $id"
[ "$(value "/component/launchable[@type='desktop-id']")" = "$id.desktop" ] ||
    fail "metainfo launchable is '$(value "/component/launchable[@type='desktop-id']")', not $id.desktop"
[ "$(value /component/provides/binary)" = vizzolen ] ||
    fail "metainfo provides binary '$(value /component/provides/binary)', not vizzolen"
[ "$(value /component/name)" = Vizzolen ] || fail "metainfo name is '$(value /component/name)', not Vizzolen"
[ "$(value '/component/releases/release[1]/@version')" = 1.0.0 ] ||
    fail "metainfo's latest release is '$(value '/component/releases/release[1]/@version')', not 1.0.0"
[ "$(value 'count(/component/categories/category[.="Accessibility"])')" = 1 ] ||
    fail "metainfo categories do not name Accessibility"
[ -n "$(value /component/metadata_license)" ] || fail "metainfo has no metadata_license"

# The installed program itself runs: with no display it says so and ends with status 2.
out=$(env -u DISPLAY -u QT_QPA_PLATFORM PATH="$prefix/bin:$PATH" vizzolen 2>&1)
status=$?
[ "$status" -eq 2 ] || fail "the installed vizzolen without a display ended with status $status: $out"
echo "PASS: installed bin/vizzolen, its entry, icon and metainfo as $id, all valid"
