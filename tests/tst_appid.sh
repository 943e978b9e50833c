#!/usr/bin/env bash
# The application ID made from the configured site host, through the same CMake function the
# configuration uses: reverse-DNS from the host, a leading www. and a port dropped, and every
# host name turned into an ID that D-Bus and AppStream accept (three or more parts of letters,
# digits and underscores, none starting with a digit, the first with a letter); a host that names
# no domain keeps the default site's ID, and what is no host name stops the configuration with a
# message that names it.
#   tst_appid.sh CMAKE SOURCE_DIR
set -u
cmake=$1
script=$2/app/appId.cmake
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# host | the ID, or "refused"
while IFS='|' read -r host want; do
    got=$("$cmake" -DHOST="$host" -P "$script" 2>"${TMPDIR:-/tmp}/tst_appid.$$")
    status=$?
    err=$(cat "${TMPDIR:-/tmp}/tst_appid.$$")
    if [ "$want" = refused ]; then
        [ "$status" -ne 0 ] || fail "'$host' gave '$got', not a refusal"
        grep -qF "'$host'" <<<"$err" || fail "'$host' refused without naming it: $err"
    else
        [ "$status" -eq 0 ] || fail "'$host' refused: $err"
        [ "$got" = "$want" ] || fail "'$host' gave '$got', not '$want'"
        [[ "$got" =~ ^[A-Za-z][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*){2,}$ ]] ||
            fail "'$host' gave '$got', which is no valid application ID"
    fi
done <<'CASES'
www.vizzolen.com|com.vizzolen.Vizzolen
vizzolen.com|com.vizzolen.Vizzolen
www.vizzolen.com:8080|com.vizzolen.Vizzolen
WWW.Vizzolen.COM|com.vizzolen.Vizzolen
vizzolen.com.|com.vizzolen.Vizzolen
downloads.vizzolen.co.uk|uk.co.vizzolen.downloads.Vizzolen
my-site.org|org.my_site.Vizzolen
7zip.org:80|org._7zip.Vizzolen
localhost:8000|com.vizzolen.Vizzolen
127.0.0.1:8000|com.vizzolen.Vizzolen
www.com|com.vizzolen.Vizzolen
example.4|com.vizzolen.Vizzolen
example.org|org.example.Vizzolen
wwwvizzolen.com|com.wwwvizzolen.Vizzolen
|refused
vizzolen..com|refused
.vizzolen.com|refused
vizzolen_site.com|refused
CASES
rm -f "${TMPDIR:-/tmp}/tst_appid.$$"

# The configuration itself stops on such a host, before anything is generated.
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
out=$("$cmake" -S "$2" -B "$build" -G Ninja -DVIZZOLEN_GUI=OFF -DVIZZOLEN_TESTS=OFF -DVIZZOLEN_SITE_HOST=vizzolen..com 2>&1)
status=$?
[ "$status" -ne 0 ] || fail "configuring with the host 'vizzolen..com' succeeded"
grep -q "no application ID" <<<"$out" || fail "configuring with the host 'vizzolen..com' said: $out"

[ "$failures" -eq 0 ] || exit 1
echo "PASS: application IDs from site hosts"
