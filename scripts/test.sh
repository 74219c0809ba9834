#!/bin/sh
# Builds and runs every test twice: the normal build, then an
# AddressSanitizer + UndefinedBehaviorSanitizer build of the same sources.
# Last, a ThreadSanitizer build runs the tests where threads meet.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs="${TEST_JOBS:-4}"
./scripts/build.sh build

# The sanitizer builds compile, at the lowest priority, while the normal
# build's tests run: those mostly wait on a phone, a bus or a timer.
# They compile a few sources at a time as one unit, which halves their
# compile time; the normal build keeps one unit per file.
unity="-DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16"
sanitizer_builds() {
    nice -n 19 ./scripts/build.sh build-asan -DTELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $unity
    cmake -S . -B build-tsan -G Ninja -DTELVANE_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo $unity >/dev/null
    nice -n 19 ninja -C build-tsan telvane unit_tests e2e_tests shim_tests audio_tests sco_link_tests
}
sanitizer_builds >build-sanitizers.log 2>&1 &
builds=$!
# The unit tests run once more all in one process, in a new order each time,
# so that none of them depends on what another left behind.
(cd build && ./tests/unit_tests --gtest_shuffle >unit-tests-shuffled.log 2>&1) &
shuffled=$!
status=0
(cd build && ctest --output-on-failure -j "$jobs") || status=$?
if ! wait "$shuffled"; then
    grep -E '^\[  FAILED|Random seed|seed of' build/unit-tests-shuffled.log || true
    tail -50 build/unit-tests-shuffled.log
    status=1
fi
if ! wait "$builds"; then
    cat build-sanitizers.log
    exit 1
fi
[ "$status" -eq 0 ] || exit "$status"
(cd build-asan && ctest --output-on-failure -j "$jobs")

# ThreadSanitizer: only what the threaded tests need is built (no benchmarks
# or fuzzers, above), and only suites whose code runs on more than one thread run:
# the connection, calls, voice and phone data, through the real binary where
# a suite does. The in-process connection handlers and the startup suites
# reach no thread the kept ones miss and stay with the other builds, to keep
# the whole run near its time; so do the incoming, outgoing and second-call
# scenarios, whose threads (listener, conversation, dial, voice) the
# robustness, voice and phone-link suites run through the binary too. The
# tests mostly wait on the phone, so more of them run at a time than in the
# other builds.
threaded='(PhoneDevice|SoundModule|CallEvents|StoreApply|StopScoAudio|Conversation|LinkTest|DialRefusal|PhoneDataFlow|ObexdStartup'
threaded="$threaded|ObexdSessionBus|SearchFlow|CallNotifications|Connection|Robustness"
threaded="$threaded|CallAudio|PhoneData|ShimTest|AudioPumps|VoiceLink|ScoLink"
threaded="$threaded|HandsFreeService|Reconnect|Closing)\\."
# ThreadSanitizer needs its fixed address layout, which kernels with more mmap
# randomness than it knows break ("unexpected memory mapping"); without
# address randomization (inherited by every child) it runs on any of them.
run=""
if setarch "$(uname -m)" -R true 2>/dev/null; then
    run="setarch $(uname -m) -R"
fi
# The even-audio test holds the pumps to 5 ms gaps: a timing the checked,
# several times slower build cannot keep; the other builds run it.
(cd build-tsan && $run ctest --output-on-failure -j "${TSAN_TEST_JOBS:-6}" -R "$threaded" -E 'CallAudio\.VoiceFlowsEvenly')
