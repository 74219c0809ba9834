#!/bin/sh
# Configures and builds one build folder: build.sh <folder> [extra cmake args]
set -eu
cd "$(dirname "$0")/.."
dir="$1"; shift
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir"
