#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds the examples against the
# installed package only, warning-free, and runs them.
# Usage: installed_package_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -euo pipefail
BUILD="$(cd "$1" && pwd)"
SOURCE="$(cd "$2" && pwd)"
WORK="$3"
rm -rf "$WORK"
mkdir -p "$WORK"
cmake --install "$BUILD" --prefix "$WORK/prefix" >/dev/null
for file in lib/librenderhub.so lib/libKavrinHost.so include/RenderHub/RenderHub.h \
    include/RenderHub/QtOgl/QtOpenGL.h include/RenderHub/FrameConverter.h \
    include/Kavrin/Proc/DataVideoCPU.h \
    lib/cmake/RenderHub/RenderHubConfig.cmake lib/cmake/RenderHub/RenderHubConfigVersion.cmake \
    bin/renderhub; do
    [ -e "$WORK/prefix/$file" ] || { echo "FAIL: $file was not installed"; exit 1; }
done
# Nothing of the source or build tree may leak into the package.
if grep -rq -e "$SOURCE" -e "$BUILD" "$WORK/prefix/lib/cmake"; then
    echo "FAIL: the package config names the source or build tree"
    exit 1
fi
for example in hello_renderhub convert_colour; do
    { cmake -S "$SOURCE/examples/$example" -B "$WORK/$example" -DCMAKE_PREFIX_PATH="$WORK/prefix" \
        -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" && cmake --build "$WORK/$example" -j 2; } \
        >"$WORK/$example.log" 2>&1 ||
        { cat "$WORK/$example.log"; echo "FAIL: $example did not build"; exit 1; }
done
output=$(LD_LIBRARY_PATH="$WORK/prefix/lib" "$WORK/hello_renderhub/hello_renderhub")
echo "$output"
grep -q "^top RGBA: 255 255 255 255$" <<<"$output" || { echo "FAIL: white did not come back"; exit 1; }
grep -q "^bottom RGBA: 0 0 0 255$" <<<"$output" || { echo "FAIL: black did not come back"; exit 1; }
# convert_colour checks its own pixels and exits non-zero when they are wrong.
LD_LIBRARY_PATH="$WORK/prefix/lib" "$WORK/convert_colour/convert_colour" ||
    { echo "FAIL: convert_colour"; exit 1; }
echo "installed package: all checks passed"
