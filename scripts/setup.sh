#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Does nothing when they are all present.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # a font for the window's texts and the simulated students' screens
    fonts-dejavu-core
    libjpeg62-turbo-dev libturbojpeg0-dev
    python3
    # the end-to-end tests: an X server without a screen, a session bus and
    # the accessibility bus through which they drive the window
    xvfb xauth dbus dbus-x11 at-spi2-core python3-pyatspi python3-xlib
    # the dialogs' own buttons in the user's language
    qt6-translations-l10n
    # the servers a school runs, which the update and name tests start on
    # loopback themselves (never as services): a web server, a test
    # certificate authority, a web proxy, a NetBIOS name server
    nginx openssl squid samba
)
if [ "${DOCENTOR_WITH_FUZZ:-0}" = 1 ]; then
    packages+=(clang libclang-rt-dev)
fi
# scripts/package.sh: the package's dependencies from its binaries, the icons
# drawn from their SVG, and the checks of the result
if [ "${DOCENTOR_WITH_PACKAGE:-0}" = 1 ]; then
    packages+=(dpkg-dev file librsvg2-bin lintian desktop-file-utils appstream)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
