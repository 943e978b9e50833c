# Debian 12 packages, sourced by scripts/start and scripts/test.

# To build and run the magnifier. (fonts-liberation2 stands in for Arial, whose measures the
# about box and the update window were drawn for; rsvg-convert renders the icon's PNGs.)
BUILD_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libxcb1-dev libxcb-shm0-dev
                libxcb-render0-dev libxcb-render-util0-dev libxcb-damage0-dev libpipewire-0.3-dev
                qt6-qpa-plugins fonts-dejavu-core fonts-liberation2 librsvg2-bin)
# To run the tests (a private X server and tools to drive it, xrdb to give it a high-DPI
# setting, pdftotext to read printed pages back, the sources of a comma-decimal locale, the
# desktop entry's and the AppStream metainfo's validators, xmllint to read the metainfo, three
# compositing managers to run the server's view under: picom, xcompmgr, and mutter with Mesa's
# software GL under Xvfb) and the refresh benchmark. Then a headless GNOME for the Wayland tests:
# the compositor with Xwayland, PipeWire and its session manager, the portals, Qt's Wayland
# plug-in for a native window, gdbus, and GStreamer's PipeWire source for screenshots; a private
# session bus and PipeWire's tools for the screen-cast stand-ins.
TEST_PACKAGES=(xvfb xauth x11-utils x11-xserver-utils xdotool imagemagick xzoom xterm poppler-utils
               locales desktop-file-utils appstream libxml2-utils picom xcompmgr libgl1-mesa-dri
               mutter xwayland pipewire wireplumber xdg-desktop-portal xdg-desktop-portal-gnome
               qt6-wayland dbus-bin dbus-daemon pipewire-bin libglib2.0-bin gstreamer1.0-tools
               gstreamer1.0-pipewire)

# Installs whichever of the named packages are missing; asks for nothing when all are there.
# Not being root, it installs through sudo when sudo runs without a password or can ask for one
# on a terminal; otherwise it names the command to run as root and fails before anything else.
ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        local refused=
        if ! command -v sudo >/dev/null 2>&1; then
            refused="sudo is not installed"
        elif ! sudo -n true 2>/dev/null; then
            if ! [ -t 0 ]; then
                refused="sudo needs a password and there is no terminal to ask for it on"
            elif ! sudo -v; then
                refused="sudo does not give you root"
            fi
        fi
        if [ -n "$refused" ]; then
            printf '%s\n' "Vizzolen needs Debian packages that are not installed, and installing them needs root, but $refused. As root, run:" \
                "    apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
            return 1
        fi
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}
