#!/usr/bin/env bash
# Fuzzes the tool's Y4M and raw frame readers with libFuzzer (clang, ASan and
# UBSan) in build-fuzz/: replays the saved corpus in tests/fuzz/corpus/, then
# fuzzes each target for a while. Exits non-zero on any crash, leak, timeout or
# oversized allocation; the input that caused it is kept in build-fuzz/artifacts/.
#
#   scripts/fuzz.sh                       30 s a target (CI)
#   scripts/fuzz.sh --seconds 300         longer runs for development
#   scripts/fuzz.sh --seconds 0           replay the corpus only
#   scripts/fuzz.sh fuzz_raw              one target
# New inputs are collected in build-fuzz/corpus/<name>/, never in the saved corpus;
# fold the interesting ones in by hand (libFuzzer's -merge=1 picks them).
set -euo pipefail

SECONDS_EACH=30
TARGETS=()
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds)
            SECONDS_EACH="${2:?--seconds needs a number}"
            shift 2
            ;;
        --seconds=*)
            SECONDS_EACH="${1#--seconds=}"
            shift
            ;;
        fuzz_y4m | fuzz_raw)
            TARGETS+=("$1")
            shift
            ;;
        *)
            echo "usage: fuzz.sh [--seconds N] [fuzz_y4m] [fuzz_raw]" >&2
            exit 2
            ;;
    esac
done
if ! [[ "$SECONDS_EACH" =~ ^[0-9]+$ ]]; then
    echo "fuzz.sh: --seconds takes a whole number, got '$SECONDS_EACH'" >&2
    exit 2
fi
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(fuzz_y4m fuzz_raw)

RENDERHUB_BUILD_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build-fuzz"
export RENDERHUB_BUILD_DIR
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# The fuzz targets compile the readers themselves; the rest of the project
# stays unbuilt. Host is built with ASan and UBSan as well.
bootstrap_and_configure -DCMAKE_CXX_COMPILER=clang++ -DRENDERHUB_BUILD_FUZZERS=ON \
    -DRENDERHUB_SANITIZE=address -DRENDERHUB_BUILD_TESTS=OFF -DRENDERHUB_BUILD_BENCH=OFF \
    -DRENDERHUB_BUILD_TOOL=OFF
cmake --build "$BUILD_DIR" -j "$JOBS" --target "${TARGETS[@]}"

# Inputs stay below 4 KiB, so any frame-sized allocation is a reader that
# trusted a header: -malloc_limit_mb turns it into a finding.
OPTIONS=(-rss_limit_mb=2048 -malloc_limit_mb=128 -timeout=10 -print_final_stats=1)
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"
ARTIFACTS="$BUILD_DIR/artifacts"
mkdir -p "$ARTIFACTS"

status=0
for target in "${TARGETS[@]}"; do
    name="${target#fuzz_}"
    binary="$BUILD_DIR/tests/fuzz/$target"
    seeds="$ROOT/tests/fuzz/corpus/$name"
    work="$BUILD_DIR/corpus/$name"
    log="$BUILD_DIR/$target.log"
    mkdir -p "$work"
    # The saved corpus first, one input at a time, so that a regression names its file.
    if ! "$binary" "${OPTIONS[@]}" -artifact_prefix="$ARTIFACTS/$target-" -runs=0 \
        "$seeds" >"$log" 2>&1; then
        echo "fuzz.sh: $target fails on the saved corpus:" >&2
        tail -n 60 "$log" >&2
        status=1
        continue
    fi
    echo "fuzz.sh: $target replayed $(find "$seeds" -type f | wc -l) saved inputs"
    [ "$SECONDS_EACH" -gt 0 ] || continue
    if ! "$binary" "${OPTIONS[@]}" -artifact_prefix="$ARTIFACTS/$target-" \
        -max_total_time="$SECONDS_EACH" "$work" "$seeds" >>"$log" 2>&1; then
        echo "fuzz.sh: $target found a fault (input kept in $ARTIFACTS):" >&2
        tail -n 60 "$log" >&2
        status=1
        continue
    fi
    echo "fuzz.sh: $target ran ${SECONDS_EACH} s: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)"
done
exit "$status"
