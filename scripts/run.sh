#!/usr/bin/env bash
# Builds the renderhub tool in build/ and runs it with the given arguments
# (no arguments: the default job).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bootstrap_and_configure
cmake --build "$BUILD_DIR" --target renderhub -j "$JOBS" >/dev/null
with_display "$BUILD_DIR/tools/renderhub/renderhub" "$@"
