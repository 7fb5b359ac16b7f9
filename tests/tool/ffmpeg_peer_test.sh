#!/usr/bin/env bash
# Checks `renderhub convert` against FFmpeg as an independent peer: clips that
# ffmpeg writes are converted by both, and the results must agree (PSNR; code
# by code, and with the closed forms, on saturated content).
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
# renderhub is asked for its plainest chroma (the nearest sample up, the mean of
# the covered pixels down), and ffmpeg for the same: 'neighbor' where chroma
# grows, 'area' where it shrinks; the kernels are checked against zimg in the
# library's tests. BT.709 on both sides; ranges from the input.
compare() {
    local input=$1 format=$2 minimum=$3 algorithm=$4
    shift 4
    local name="${input%%:*} -> $format"
    local peerInput=(-i "${input%%:*}") ownInput=()
    if [[ $input == *:* ]]; then # raw input: FILE:PIX_FMT
        peerInput=(-f rawvideo -pix_fmt "${input#*:}" -s "$SIZE" -i "${input%%:*}")
        ownInput=(--size "$SIZE" --in-pix-fmt "${input#*:}")
    fi
    local inRange=tv outRange=tv
    for option in "$@"; do [ "$option" = pc ] && outRange=pc; done
    head -1 "${input%%:*}" 2>/dev/null | grep -aq "XCOLORRANGE=FULL" && inRange=pc && outRange=pc
    for option in "$@"; do [ "$option" = tv ] && outRange=tv; done
    "$TOOL" convert "${input%%:*}" own.raw --pix-fmt "$format" --chroma-filter nearest \
        "${ownInput[@]}" "$@" >/dev/null || { fail "$name: renderhub exited with $?"; return; }
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

# Saturated content, which the soft clips above avoid: full-strength bars and
# edges, sub-black steps, chroma that swscale's bicubic subsampling pushes past
# the legal range, and ramps through every code (ties, out-of-range codes).
# Compared code by code. testsrc2 makes only even sizes: crop it from RGB.
W=99 H=57
ODD=${W}x$H
EVEN=64x36
TESTSRC="testsrc2=size=$((W + 1))x$((H + 1)),format=rgb24,crop=$W:$H:0:0"
BARS="smptehdbars=size=$ODD"
ramp() { # PIX_FMT CODES: every code in every plane
    echo "nullsrc=size=$ODD,format=$1,geq=lum='mod(X*37+Y*101+N*7,$2)':cb='mod(X*53+Y*29+N*3,$2)':cr='mod(X*11+Y*97,$2)'"
}
# Two frames of SOURCE in NAME-FORMAT.raw (and .y4m); alpha formats get an
# alpha plane that varies.
frames() { # SOURCE NAME FORMAT[.y4m]...
    local source=$1 name=$2 entry format filter outputs=()
    shift 2
    for entry in "$@"; do
        format=${entry%.y4m} filter=null
        case $format in yuva* | bgra) filter="split[c][a];[a]format=gray,hflip[m];[c][m]alphamerge" ;; esac
        outputs+=(-frames:v 2 -vf "$filter" -pix_fmt "$format" -strict -1 -f rawvideo "$name-$format.raw")
        [ "$entry" = "$format" ] || outputs+=(-frames:v 2 -pix_fmt "$format" -strict -1 "$name-$format.y4m")
    done
    ffmpeg -v error -y -f lavfi -i "$source" "${outputs[@]}" || fail "ffmpeg could not write $name frames"
}
bits() { case $1 in *10le) echo 10 ;; *12le) echo 12 ;; *le) echo 16 ;; *) echo 8 ;; esac; }
codes() { # FORMAT FILE: one code a line
    local bytes=1
    [[ $1 == *le ]] && bytes=2
    od -An -v -tu$bytes -w$bytes "$2"
}
differ() { # BITS CODES CODES: largest difference and PSNR
    paste "$2" "$3" | awk -v peak=$((2 ** $1 - 1)) '{ d = $1 - $2; e += d * d; if (d < 0) d = -d; if (d > m) m = d }
        END { printf("%d %s\n", m, e ? sprintf("%.1f", 10 * log(peak * peak * NR / e) / log(10)) : "inf") }'
}

# Same format in and out: every byte comes back. ffmpeg's Y4M writer miscounts
# the chroma of odd widths above 8 bits, so 4:2:x Y4M at those depths is taken
# at the even size only.
identity() { # SIZE SOURCE FORMAT[.y4m]...
    local size=$1 source=$2 entry format input options before=$failures
    shift 2
    frames "$source" same "$@"
    for entry in "$@"; do
        format=${entry%.y4m}
        input=same-$format.raw options=(--size "$size" --in-pix-fmt "$format")
        [ "$entry" = "$format" ] || input=same-$format.y4m options=()
        "$TOOL" convert "$input" own.raw "${options[@]}" >/dev/null ||
            { fail "${source%%=*} $size $entry: renderhub exited with $?"; continue; }
        cmp -s "same-$format.raw" own.raw || fail "${source%%=*} $size $entry: not identical ($(cmp "same-$format.raw" own.raw))"
    done
    echo "${source%%=*} $size, same format in and out: $(($# - failures + before)) of $# identical"
}
identity $ODD "$TESTSRC" yuv420p.y4m yuv444p12le.y4m p010le nv12 rgb24 bgra yuva444p
identity $ODD "$BARS" yuv422p10le nv12
identity $EVEN "testsrc2=size=$EVEN" yuv444p12le.y4m bgra yuva444p
identity $EVEN "smptehdbars=size=$EVEN" yuv420p.y4m yuv422p10le.y4m p010le

# Closed form of a depth or range change of planar YUV: codes scale about
# black (luma) or the midpoint (chroma), round to nearest, ties to even
# (printf), and clip. One division of exact integers keeps ties exact.
closed() { # FILE FROM TO IN_RANGE OUT_RANGE CHROMA_SAMPLES
    codes "$2" "$1" | awk -v bi="$(bits "$2")" -v bo="$(bits "$3")" -v ri="$4" -v ro="$5" \
        -v luma=$((W * H)) -v chroma="$6" '
        function offset(b, c, r) { return c ? 2 ^ (b - 1) : r == "tv" ? 16 * 2 ^ (b - 8) : 0 }
        function scale(b, c, r) { return r == "pc" ? 2 ^ b - 1 : (c ? 224 : 219) * 2 ^ (b - 8) }
        { c = (NR - 1) % (luma + 2 * chroma) >= luma
          v = offset(bo, c, ro) + ($1 - offset(bi, c, ri)) * scale(bo, c, ro) / scale(bi, c, ri)
          printf("%.0f\n", v < 0 ? 0 : v > 2 ^ bo - 1 ? 2 ^ bo - 1 : v) }'
}

# zimg NAME FROM TO MAX [renderhub options...]
# zimg (zscale, no dither) converts the same odd-sized frames NAME-FROM.raw; no
# code may be more than MAX off. zimg computes in float, so near-ties and
# 16-bit codes may land one off where the integer path is exact: depth and
# range changes are held to the closed form as well, exactly. zimg refuses odd
# sizes of subsampled formats (MAX -): those rows have only the closed form.
# zimg takes planar RGB; swscale's packing of it into rgb24/rgb48le is lossless.
zimg() {
    local input=$1-$2.raw from=$2 format=$3 maximum=$4
    shift 4
    local own=("$@") z=dither=none value inRange=tv outRange="" matrix=no
    while [ $# -ge 2 ]; do
        case $2 in tv) value=limited ;; pc) value=full ;; bt2020nc) value=2020_ncl ;; *) value=${2#bt} ;; esac
        case $1 in
        --in-range) z+=:rangein=$value inRange=$2 ;;
        --range) z+=:range=$value outRange=$2 ;;
        --in-matrix) z+=:matrixin=$value matrix=yes ;;
        --matrix) z+=:matrix=$value matrix=yes ;;
        esac
        shift 2
    done
    local name="$input -> $format ${own[*]}" line="" worst db peer
    if [ "$maximum" != - ]; then # alongside renderhub
        local before=null after=$format
        case $from in rgb24) before=format=gbrp ;; rgb48le) before=format=gbrp16le ;; esac
        case $format in rgb24) after=gbrp ;; rgb48le) after=gbrp16le ;; esac
        ffmpeg -v error -y -f rawvideo -pix_fmt "$from" -s $ODD -i "$input" -vf "$before,zscale=$z,format=$after" \
            -pix_fmt "$format" -f rawvideo peer.raw &
        peer=$!
    fi
    "$TOOL" convert "$input" own.raw --size $ODD --in-pix-fmt "$from" --pix-fmt "$format" "${own[@]}" \
        >/dev/null || { fail "$name: renderhub exited with $?"; wait; return; }
    if [ "$maximum" != - ]; then
        wait "$peer" || { fail "$name: ffmpeg failed"; return; }
        [ "$(stat -c %s own.raw)" -eq "$(stat -c %s peer.raw)" ] || { fail "$name: sizes differ"; return; }
        read -r worst db < <(differ "$(bits "$format")" <(codes "$format" own.raw) <(codes "$format" peer.raw))
        line="$db dB, $worst codes off zimg (at most $maximum)"
        [ "$worst" -le "$maximum" ] || fail "$name: $worst codes off zimg, more than $maximum"
    fi
    if [ $matrix = no ] && [[ $from == yuv4* && $format == yuv4* ]]; then
        local chroma=$((W * H))
        [[ $from == yuv420* ]] && chroma=$((((W + 1) / 2) * ((H + 1) / 2)))
        read -r worst db < <(differ "$(bits "$format")" <(codes "$format" own.raw) \
            <(closed "$input" "$from" "$format" "$inRange" "${outRange:-$inRange}" $chroma))
        line+="${line:+, }$worst codes off the closed form"
        [ "$worst" -eq 0 ] || fail "$name: $worst codes off the closed form"
    fi
    echo "$name: $line"
}
frames "$TESTSRC" test yuv444p yuv420p10le rgb24 rgb48le
frames "$BARS" bars yuv444p yuv444p10le yuv420p
frames "$(ramp yuv444p 256)" ramp yuv444p
frames "$(ramp yuv444p10le 1024)" ramp yuv444p10le
# Depth and range; the 10-bit ramp has every tie of 10 to 8 bits.
zimg test yuv444p yuv444p10le 0 --in-range tv --range tv
zimg bars yuv444p yuv444p16le 0 --in-range tv --range pc
zimg ramp yuv444p yuv444p 0 --in-range tv --range pc
zimg ramp yuv444p yuv444p12le 0 --in-range pc --range tv
zimg ramp yuv444p10le yuv444p 0 --in-range tv --range tv
zimg ramp yuv444p10le yuv444p10le 1 --in-range tv --range pc
zimg ramp yuv444p10le yuv444p16le 1 --in-range pc --range pc
zimg bars yuv420p yuv420p10le - --in-range tv --range pc
zimg test yuv420p10le yuv420p - --in-range tv --range pc
# YUV to RGB and back through unclamped float RGB: within a code of zimg, the
# 8-bit ramp's codes beyond the legal range included.
for matrix in bt709 bt470bg bt2020nc; do
    zimg ramp yuv444p rgb48le 1 --in-matrix $matrix --in-range tv
    zimg bars yuv444p10le rgb24 1 --in-matrix $matrix --in-range pc
    zimg test rgb24 yuv444p 1 --matrix $matrix --range tv
    zimg test rgb48le yuv444p16le 1 --matrix $matrix --range pc
done
# A matrix change goes through RGB too.
zimg test yuv444p yuv444p 1 --in-matrix bt2020nc --matrix bt709
zimg ramp yuv444p10le yuv444p10le 1 --in-matrix bt2020nc --matrix bt709 --range pc

if [ $failures -eq 0 ]; then
    echo "ffmpeg peer comparison: all checks passed"
fi
exit $((failures > 0))
