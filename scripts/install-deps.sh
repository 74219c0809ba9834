#!/bin/sh
# Installs what building, running and testing Telvane needs on Debian 12.
# Idempotent: does nothing when every package is already present.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config
libgtk-3-dev libglib2.0-dev libbluetooth-dev libpulse-dev
libwebrtc-audio-processing-dev libsbc-dev liblc3-dev
googletest libgtest-dev libgmock-dev
desktop-file-utils appstream dpkg-dev
clang libclang-rt-14-dev
dbus dbus-x11 python3 python3-dbus python3-gi python3-dbusmock
pulseaudio pulseaudio-utils
xvfb xauth x11-utils imagemagick xdotool xclip
at-spi2-core gir1.2-atspi-2.0
fonts-noto-color-emoji fonts-dejavu-core
bluez-obexd rtkit
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
