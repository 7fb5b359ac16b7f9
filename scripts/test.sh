#!/usr/bin/env bash
# Builds everything in build/ and runs the whole CTest suite under a display.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bootstrap_and_configure
cmake --build "$BUILD_DIR" -j "$JOBS"
with_display ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@"
