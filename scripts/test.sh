#!/bin/sh
# Builds and runs every test twice: the normal build, then an
# AddressSanitizer + UndefinedBehaviorSanitizer build of the same sources.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs="${TEST_JOBS:-4}"
./scripts/build.sh build
(cd build && ctest --output-on-failure -j "$jobs")
./scripts/build.sh build-asan -DTELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ctest --output-on-failure -j "$jobs")
