#!/bin/sh
# Builds Telvane and runs it. Without a display it starts a virtual one (Xvfb)
# and says so; take a look with: DISPLAY=:99 import -window root shot.png
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh build
if [ -z "${DISPLAY:-}" ]; then
    echo "No display set: running under a virtual X server (Xvfb) on :99."
    Xvfb :99 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    trap 'kill $xvfb_pid 2>/dev/null' EXIT INT TERM
    export DISPLAY=:99
    sleep 1
fi
exec_dir="${TELVANE_WORKDIR:-$PWD/run}"
mkdir -p "$exec_dir"
cd "$exec_dir"
"$OLDPWD/build/telvane" "$@"
