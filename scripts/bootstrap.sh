#!/usr/bin/env bash
# Installs the Debian packages RenderHub needs, only those that are missing.
# Idempotent; needs root (or sudo) only when something is missing.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    qtbase5-dev libglew-dev libgoogle-glog-dev libboost-dev libglm-dev
    libgl-dev libgl1-mesa-dri libglx-mesa0 libx11-dev
    xvfb xauth fonts-dejavu-core
    libgtest-dev libgmock-dev libbenchmark-dev
    libswscale-dev libavutil-dev libzimg-dev ffmpeg
    clang libclang-rt-14-dev
)

missing=()
for package in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "bootstrap: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
