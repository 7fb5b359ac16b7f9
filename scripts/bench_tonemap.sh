#!/usr/bin/env bash
# PQ and HLG BT.2020 to SDR BT.709 at 1080p: renderhub convert beside libplacebo
# (FFmpeg's libplacebo filter on Vulkan's lavapipe), in one run: frames per second
# of each, their ratio, and the PSNR between the two pictures.
# Usage: scripts/bench_tonemap.sh BUILD_DIR [FRAMES=40]
# Needs: ffmpeg (with zscale and libplacebo) and mesa-vulkan-drivers; compare only
# figures from one run, the machine drifts by about 30 % between runs.
set -euo pipefail
BUILD=${1:?build dir}
FRAMES=${2:-40}
if [ -z "${DISPLAY:-}" ]; then exec xvfb-run -a -s "-noreset" "$0" "$@"; fi
TOOL=$BUILD/tools/renderhub/renderhub
WORK=/dev/shm/renderhub-tonemap
mkdir -p "$WORK"

# testsrc2 as HDR: SDR white at 1000 cd/m², so highlights reach the source peak.
for source in pq:smpte2084 hlg:arib-std-b67; do
    name=${source%%:*}
    [ -f "$WORK/$name.y4m" ] || ffmpeg -v error -f lavfi -i "testsrc2=s=1920x1080:rate=25" \
        -frames:v "$FRAMES" -vf "format=yuv420p,zscale=tin=bt709:min=bt709:pin=bt709:rin=tv:t=${source#*:}:p=bt2020:m=bt2020nc:r=tv:npl=1000,format=yuv420p10le" \
        -strict -1 -f yuv4mpegpipe -y "$WORK/$name.y4m"
done

seconds() { # command... -> wall seconds
    /usr/bin/time -f %e "$@" 2>&1 >/dev/null | tail -n1
}
psnr() {
    ffmpeg -v info -i "$1" -i "$2" -lavfi "[0][1]psnr" -f null - 2>&1 | grep -o "average:[0-9.inf]*" | cut -d: -f2
}

printf "%-5s %12s %14s %8s %10s\n" case ours_fps libplacebo_fps ratio psnr_dB
for source in pq:smpte2084 hlg:arib-std-b67; do
    name=${source%%:*}
    trc=${source#*:}
    # libplacebo without a mastering peak takes PQ's 10000 cd/m²; ours is told the same.
    peak=$([ "$name" = pq ] && echo 10000 || echo 1000)
    ours=$(seconds "$TOOL" convert "$WORK/$name.y4m" "$WORK/ours-$name.y4m" --quiet \
        --in-primaries bt2020 --in-transfer "$trc" --in-matrix bt2020nc --primaries bt709 \
        --transfer bt709 --matrix bt709 --pix-fmt yuv420p --source-peak "$peak" --tonemap bt2390)
    # The libplacebo command, startup included as ours is:
    # ffmpeg -init_hw_device vulkan -i IN.y4m -vf "setparams=color_primaries=bt2020:color_trc=TRC:
    #   colorspace=bt2020nc:range=tv,hwupload,libplacebo=tonemapping=bt.2390:gamut_mode=clip:
    #   peak_detect=false:colorspace=bt709:color_primaries=bt709:color_trc=bt709:range=tv:
    #   format=yuv420p,hwdownload,format=yuv420p" -f yuv4mpegpipe OUT.y4m
    placebo=$(seconds ffmpeg -v error -y -init_hw_device vulkan -i "$WORK/$name.y4m" -vf \
        "setparams=color_primaries=bt2020:color_trc=$trc:colorspace=bt2020nc:range=tv,hwupload,libplacebo=tonemapping=bt.2390:gamut_mode=clip:peak_detect=false:colorspace=bt709:color_primaries=bt709:color_trc=bt709:range=tv:format=yuv420p,hwdownload,format=yuv420p" \
        -f yuv4mpegpipe "$WORK/placebo-$name.y4m")
    awk -v n="$FRAMES" -v a="$ours" -v b="$placebo" -v p="$(psnr "$WORK/ours-$name.y4m" "$WORK/placebo-$name.y4m")" -v c="$name" \
        'BEGIN{printf "%-5s %12.2f %14.2f %8.2f %10s\n", c, n/a, n/b, b/a, p}'
done
