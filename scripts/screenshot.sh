#!/bin/sh
# Refreshes the README's picture of the window during a call: the demo runs
# headless (on a virtual X server of its own), lets its simulated phone ring
# and answer, and photographs the window. Needs a build (scripts/build.sh build).
set -eu
cd "$(dirname "$0")/.."
top="$PWD"
out="$top/docs/window-call.png"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$top/docs"
cd "$work"
env -u DISPLAY "$top/build/tools/demo/telvane-demo" --screenshot "$work/shot.png"
mv "$work/shot.png" "$out"
echo "wrote $out"
