#!/usr/bin/env bash
# Checks `renderhub convert` against FFmpeg as an independent peer: clips that
# ffmpeg writes are converted by both, and the results must agree (PSNR).
# Usage: ffmpeg_peer_test.sh PATH_TO_RENDERHUB WORK_DIR
set -uo pipefail
TOOL="$1"
WORK="$2"
mkdir -p "$WORK"
cd "$WORK" || exit 1
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
command -v ffmpeg >/dev/null || { echo "FAIL: ffmpeg is not installed"; exit 1; }

SIZE=160x90
# Smooth, moderately saturated content: sharp saturated edges leave the RGB
# gamut after chroma upsampling, where any two converters may clip differently.
SOURCE="testsrc2=size=$SIZE:rate=25,gblur=sigma=2,hue=s=0.4"
clip() { # NAME PIX_FMT [ffmpeg output options...]
    local name=$1 format=$2
    shift 2
    ffmpeg -v error -y -f lavfi -i "$SOURCE" -frames:v 3 -pix_fmt "$format" "$@" "$name" ||
        fail "ffmpeg could not write $name"
}
clip c420.y4m yuv420p
clip c444.y4m yuv444p
clip c422p10.y4m yuv422p10le -strict -1
clip c420p10.y4m yuv420p10le -strict -1
clip cj444.y4m yuvj444p
clip c.rgb rgb24 -f rawvideo
clip c444p10.yuv yuv444p10le -f rawvideo

# PSNR of two raw files of one format, "inf" when identical.
psnr() { # FORMAT A B
    ffmpeg -v info -f rawvideo -pix_fmt "$1" -s $SIZE -i "$2" -f rawvideo -pix_fmt "$1" -s $SIZE \
        -i "$3" -lavfi psnr -f null - 2>&1 | grep -o 'average:[^ ]*' | tail -1 | cut -d: -f2
}

# compare INPUT OUT_FORMAT MIN_DB FILTER [renderhub options...]
# The library reconstructs chroma with the nearest sample and subsamples by
# averaging, so ffmpeg is asked for the same: 'neighbor' where chroma grows,
# 'area' where it shrinks. BT.709 on both sides; ranges from the input.
compare() {
    local input=$1 format=$2 minimum=$3 algorithm=$4
    shift 4
    local name="${input%%:*} -> $format"
    local peerInput=(-i "${input%%:*}") ownInput=()
    if [[ $input == *:* ]]; then # raw input: FILE:PIX_FMT
        peerInput=(-f rawvideo -pix_fmt "${input#*:}" -s $SIZE -i "${input%%:*}")
        ownInput=(--size $SIZE --in-pix-fmt "${input#*:}")
    fi
    local inRange=tv outRange=tv
    for option in "$@"; do [ "$option" = pc ] && outRange=pc; done
    head -1 "${input%%:*}" 2>/dev/null | grep -aq "XCOLORRANGE=FULL" && inRange=pc && outRange=pc
    for option in "$@"; do [ "$option" = tv ] && outRange=tv; done
    "$TOOL" convert "${input%%:*}" own.raw --pix-fmt "$format" "${ownInput[@]}" "$@" >/dev/null ||
        { fail "$name: renderhub exited with $?"; return; }
    ffmpeg -v error -y "${peerInput[@]}" -vf "scale=in_color_matrix=bt709:out_color_matrix=bt709:\
in_range=$inRange:out_range=$outRange:flags=$algorithm+accurate_rnd+full_chroma_int+full_chroma_inp" \
        -pix_fmt "$format" -f rawvideo peer.raw || { fail "$name: ffmpeg failed"; return; }
    [ "$(stat -c %s own.raw)" -eq "$(stat -c %s peer.raw)" ] || { fail "$name: sizes differ"; return; }
    local db
    db=$(psnr "$format" own.raw peer.raw)
    echo "$name ${*:-}: $db dB (at least $minimum)"
    if [ "$db" != inf ] && ! awk -v db="$db" -v min="$minimum" 'BEGIN { exit !(db >= min) }'; then
        fail "$name: PSNR $db dB is below $minimum dB"
    fi
}

# 8-bit outputs: 50 dB; 10- and 12-bit outputs: 60 dB.
compare c420.y4m rgb24 50 neighbor
compare c420.y4m rgba 50 neighbor
compare c420.y4m nv12 50 area
compare c444.y4m yuv420p 50 area
compare c.rgb:rgb24 yuv420p 50 area
compare c444p10.yuv:yuv444p10le rgb24 50 area
compare c422p10.y4m yuv422p 50 neighbor
compare c420.y4m yuv444p10le 60 neighbor
compare c422p10.y4m yuv444p10le 60 neighbor
compare c422p10.y4m yuv420p10le 60 area
compare c420p10.y4m yuv420p12le 60 neighbor
compare c444p10.yuv:yuv444p10le p010le 60 area
# 16-bit RGB: swscale's own YUV to RGB48 path is good to about 0.5 of an 8-bit
# step (its fixed-point coefficients), so it is held to the 8-bit mark.
compare c420p10.y4m rgb48le 50 neighbor
# Ranges: full-range input (ffmpeg marks it in the header), and range changes.
compare cj444.y4m rgb24 50 neighbor
compare cj444.y4m yuv444p 50 neighbor --range tv
compare c444.y4m yuv444p 50 neighbor --range pc
# swscale expands 10-bit limited range to full range up to 3 codes below the
# closed form (renderhub matches it exactly; see the tool's unit tests).
compare c420p10.y4m yuv420p10le 55 neighbor --range pc

# Y4M that renderhub writes: ffmpeg reads it without a word, with its range.
readback() { # FILE RANGE
    local errors
    errors=$(ffmpeg -v warning -i "$1" -f null - 2>&1) || fail "ffmpeg could not read $1"
    [ -z "$errors" ] || fail "ffmpeg complained about $1: $errors"
    [ "$(ffprobe -v error -select_streams v -show_entries stream=color_range -of csv=p=0 "$1")" = "$2" ] ||
        fail "$1 is not read back as $2 range"
}
"$TOOL" convert c420.y4m out8.y4m --pix-fmt yuv422p >/dev/null && readback out8.y4m tv
"$TOOL" convert c420.y4m out10.y4m --pix-fmt yuv444p10le >/dev/null && readback out10.y4m tv
"$TOOL" convert c420.y4m outpc.y4m --range pc >/dev/null && readback outpc.y4m pc
"$TOOL" convert cj444.y4m outj.y4m --pix-fmt yuv420p12le >/dev/null && readback outj.y4m pc
# And the frames themselves: ffmpeg decodes renderhub's 10-bit Y4M to what
# renderhub wrote raw.
"$TOOL" convert c420.y4m out10.raw --pix-fmt yuv444p10le >/dev/null
ffmpeg -v error -y -i out10.y4m -f rawvideo -pix_fmt yuv444p10le back10.raw
cmp -s out10.raw back10.raw || fail "ffmpeg decoded renderhub's 10-bit Y4M differently"

if [ $failures -eq 0 ]; then
    echo "ffmpeg peer comparison: all checks passed"
fi
exit $((failures > 0))
