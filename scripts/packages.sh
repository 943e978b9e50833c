# Debian 12 packages, sourced by scripts/start and scripts/test.

# To build and run the magnifier. (fonts-liberation2 stands in for Arial, whose measures the
# about box and the update window were drawn for.)
BUILD_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libxcb1-dev libxcb-shm0-dev
                libxcb-render0-dev libxcb-render-util0-dev
                qt6-qpa-plugins fonts-dejavu-core fonts-liberation2)
# To run the tests (a private X server and tools to drive it, pdftotext to read printed pages
# back) and the refresh benchmark.
TEST_PACKAGES=(xvfb xauth x11-utils xdotool imagemagick xzoom xterm poppler-utils)

# Installs whichever of the named packages are missing; asks for nothing when all are there.
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
