#!/bin/sh
# Builds Telvane and runs it. With a Bluetooth adapter under BlueZ it runs
# for real; without one (or with TELVANE_DEMO=1) it runs beside a simulated
# phone that connects, rings and talks. Without a display it starts a virtual
# X server (Xvfb) and says so.
set -eu
cd "$(dirname "$0")/.."
top="$PWD"
./scripts/install-deps.sh
./scripts/build.sh build

demo="${TELVANE_DEMO:-auto}"
if [ "$demo" = auto ]; then
    if dbus-send --system --print-reply --dest=org.bluez /org/bluez/hci0 \
        org.freedesktop.DBus.Introspectable.Introspect >/dev/null 2>&1; then
        demo=0
    else
        demo=1
    fi
fi

# Settings, contacts and call history of runs from here stay in their own
# folder, apart from those of an installed Telvane.
workdir="${TELVANE_WORKDIR:-$top/run}"
mkdir -p "$workdir"
cd "$workdir"
export XDG_CONFIG_HOME="$workdir/config" XDG_DATA_HOME="$workdir/data"
if [ "$demo" = 1 ]; then
    echo "No Bluetooth adapter found: running with a simulated phone."
    # The demo starts (and on Ctrl+C ends) everything it needs, a virtual X
    # server included; nothing of this shell is left to clean up.
    exec "$top/build/tools/demo/telvane-demo"
fi

if [ -z "${DISPLAY:-}" ]; then
    echo "No display set: running under a virtual X server (Xvfb) on :99."
    echo "Look at it with: DISPLAY=:99 import -window root telvane.png"
    Xvfb :99 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    trap 'kill $xvfb_pid 2>/dev/null' EXIT
    trap 'exit 130' INT TERM
    export DISPLAY=:99
    sleep 1
fi
"$top/build/telvane" "$@"
