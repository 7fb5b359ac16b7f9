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
# Only the public headers: the library's insides stay out of the package.
for file in include/RenderHub/Private/UploadDownloadBuffers.h include/RenderHub/QtOgl/QtOglContext.h \
    include/RenderHub/QtOgl/QtOglWorker.h include/RenderHub/QtWin/WinOglContext.h; do
    [ ! -e "$WORK/prefix/$file" ] || { echo "FAIL: the private header $file was installed"; exit 1; }
done
# Nothing of the source or build tree may leak into the package.
if grep -rq -e "$SOURCE" -e "$BUILD" "$WORK/prefix/lib/cmake"; then
    echo "FAIL: the package config names the source or build tree"
    exit 1
fi
# The tool starts from the prefix alone: the binaries find their libraries
# relative to themselves, and no run path names the build tree.
for binary in bin/renderhub lib/librenderhub.so lib/libKavrinHost.so; do
    if readelf -d "$WORK/prefix/$binary" | grep -E "R(UN)?PATH" | grep -q -e "$BUILD" -e "$SOURCE"; then
        echo "FAIL: the run path of $binary names the build or source tree"
        exit 1
    fi
done
version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' \
    "$WORK/prefix/lib/cmake/RenderHub/RenderHubConfigVersion.cmake")
tool_version=$(env -u LD_LIBRARY_PATH "$WORK/prefix/bin/renderhub" --version) ||
    { echo "FAIL: the installed renderhub --version exited with $?"; exit 1; }
if [ -z "$version" ] || [ "$tool_version" != "renderhub $version" ]; then
    echo "FAIL: the installed renderhub is '$tool_version', the package '$version'"
    exit 1
fi
info=$(env -u LD_LIBRARY_PATH "$WORK/prefix/bin/renderhub" info) ||
    { echo "FAIL: the installed renderhub info exited with $?"; exit 1; }
grep -q "worker started   : yes" <<<"$info" || { echo "FAIL: the installed tool's worker did not run"; exit 1; }
# Every installed header compiles against the package alone: none includes a
# header that was left out.
mkdir -p "$WORK/headers"
{
    echo "#include <GL/glew.h>"
    (cd "$WORK/prefix/include" && find RenderHub -name '*.h' | sort | sed 's/.*/#include <&>/')
} >"$WORK/headers/headers.cpp"
cat >"$WORK/headers/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.22)
project(headers LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
find_package(RenderHub REQUIRED)
add_library(headers OBJECT headers.cpp)
target_link_libraries(headers PRIVATE RenderHub::RenderHub)
CMAKE
{ cmake -S "$WORK/headers" -B "$WORK/headers/build" -DCMAKE_PREFIX_PATH="$WORK/prefix" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" && cmake --build "$WORK/headers/build"; } \
    >"$WORK/headers.log" 2>&1 ||
    { cat "$WORK/headers.log"; echo "FAIL: the installed headers do not compile on their own"; exit 1; }
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
