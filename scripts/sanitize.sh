#!/usr/bin/env bash
# Sanitizer builds: `sanitize.sh thread` runs the threading suites under
# ThreadSanitizer, `sanitize.sh address` the whole suite under ASan + UBSan.
set -euo pipefail
KIND="${1:?usage: sanitize.sh thread|address}"
shift
export RENDERHUB_BUILD_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build-$KIND"
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bootstrap_and_configure -DRENDERHUB_SANITIZE="$KIND" -DRENDERHUB_BUILD_BENCH=OFF
cmake --build "$BUILD_DIR" -j "$JOBS"
case "$KIND" in
    thread)
        # llvmpipe's LLVM JIT holds more locks at once than TSan's lock-order
        # detector can track (it aborts); races are still detected.
        export TSAN_OPTIONS="suppressions=$ROOT/tests/support/tsan.supp halt_on_error=1 detect_deadlocks=0"
        # The format and colour sweeps compile hundreds of shader variants, which
        # under TSan's interception of the JIT takes minutes each; they run no
        # threads the other tests do not, and run in the plain and ASan suites.
        export GTEST_FILTER="${GTEST_FILTER:--AllFormats/*:ColourChromaAndSize/*:*EveryFormatPair*}"
        with_display ctest --test-dir "$BUILD_DIR" --output-on-failure -L threading "$@"
        ;;
    address)
        # GL objects are counted by the tests themselves; LeakSanitizer's fast
        # unwinder cannot attribute Mesa's driver allocations (see lsan.supp) to
        # suppress them, so leak checking is opt-in: RENDERHUB_LSAN=1.
        if [ "${RENDERHUB_LSAN:-0}" = 1 ]; then
            export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0"
        else
            export ASAN_OPTIONS="detect_leaks=0"
        fi
        export LSAN_OPTIONS="suppressions=$ROOT/tests/support/lsan.supp"
        export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"
        with_display ctest --test-dir "$BUILD_DIR" --output-on-failure "$@"
        ;;
    *)
        echo "unknown sanitizer '$KIND'" >&2
        exit 2
        ;;
esac
