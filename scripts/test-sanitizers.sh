#!/usr/bin/env bash
# Builds everything with AddressSanitizer + UndefinedBehaviorSanitizer, and again with
# ThreadSanitizer, each in a build folder of its own, and runs the whole test suite under each.
# Any sanitizer report fails the run.
#   scripts/test-sanitizers.sh [asan|tsan]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(asan tsan)

for kind in "${kinds[@]}"; do
    case $kind in
    asan) sanitize=address,undefined ;;
    tsan) sanitize=thread ;;
    *) echo "unknown sanitizer set: $kind" >&2; exit 2 ;;
    esac
    build=build-$kind
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_SANITIZE=$sanitize
    cmake --build "$build" -j"$(nproc)"

    supp=$root/tests/sanitizers
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
    export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    # Qt is not instrumented: its memcpy/free calls are not checked (our own accesses still are,
    # and synchronisation through pthreads is still followed).
    export TSAN_OPTIONS="suppressions=$supp/tsan.supp:halt_on_error=1:second_deadlock_stack=1:print_suppressions=0:ignore_noninstrumented_modules=1"
    echo "== $kind: running the tests"
    ctest --test-dir "$build" --output-on-failure --timeout 900
done
