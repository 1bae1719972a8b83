#!/usr/bin/env bash
# Configures, builds and runs every test.
#   scripts/test.sh           optimised build in build/, every test
#   scripts/test.sh --asan    AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan    ThreadSanitizer build in build-tsan/, the concurrency tests
#   scripts/test.sh --thread-safety
#                             clang build in build-thread-safety/ with -Wthread-safety: checks
#                             the lock annotations (and that clang finds nothing to warn of);
#                             builds the library, the tool and the tests, runs nothing
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

mode=${1:-plain}
jobs=${BRINDLE_JOBS:-2}
filter=()
case "$mode" in
    plain) dir=build; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    --asan) dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug "-DBRINDLE_SANITIZE=address,undefined" -DBRINDLE_BENCH=OFF) ;;
    --tsan) dir=build-tsan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_SANITIZE=thread -DBRINDLE_BENCH=OFF)
            filter=(-R 'Concurrency') ;;
    --thread-safety)
        dir=build-thread-safety
        export CC=clang-14 CXX=clang++-14
        # The beta group adds the checks of the lock order (ACQUIRED_AFTER).
        flags=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=-Wthread-safety -Wthread-safety-beta"
               -DBRINDLE_BENCH=OFF -DBRINDLE_PYTHON=OFF) ;;
    *) echo "usage: scripts/test.sh [--asan|--tsan|--thread-safety]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -DBRINDLE_WERROR=ON "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
if [ "$mode" = --thread-safety ]; then
    exit 0  # the analysis is the compiler's; the other builds run the tests
fi
if [ "$mode" = --tsan ]; then
    # ThreadSanitizer of this compiler cannot map its shadow memory under the kernel's full
    # address-space randomisation; run the tests without it.
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
    setarch "$(uname -m)" -R ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${filter[@]}"
else
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure
fi
