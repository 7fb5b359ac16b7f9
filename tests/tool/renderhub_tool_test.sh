#!/usr/bin/env bash
# Runs the renderhub tool as a user would and checks what it prints and writes.
# Usage: renderhub_tool_test.sh PATH_TO_RENDERHUB WORK_DIR
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

# The report lists the capability and the forty formats.
info=$("$TOOL" info) || fail "info exited with $?"
grep -q "capability level" <<<"$info" || fail "info lacks the capability level"
grep -q "worker started   : yes" <<<"$info" || fail "info: the worker did not run a task"
grep -q "(40)" <<<"$info" || fail "info does not list forty formats"
# On the emulated Direct3D every sharing path works.
grep -q "Direct3D interop : INTEROP_AVAILABLE" <<<"$info" || fail "info lacks the interop status"
grep -qE "sharing status   : 3 \(WGL_NV_DX_interop, D3D11 .*, D3D12 .*\)" <<<"$info" ||
    fail "info lacks the sharing status"

# Bad arguments are refused with status 2 and a reason.
"$TOOL" nonsense >/dev/null 2>errors.txt
[ $? -eq 2 ] || fail "an unknown command did not exit with 2"
grep -q "unknown command 'nonsense'" errors.txt || fail "no reason given for the unknown command"
"$TOOL" demo --size 10by10 >/dev/null 2>errors.txt
[ $? -eq 2 ] || fail "a malformed size did not exit with 2"

# The demo on a small clip: one row per format, exact RGB rows, and the sheet.
rm -f sheet.png
demo=$("$TOOL" demo --size 64x32 --frames 2 --output sheet.png) || fail "demo exited with $?"
rows=$(grep -cE '^[a-z0-9]+ +[0-9]+ +(inf|[0-9.]+) +[0-9.]+$' <<<"$demo")
[ "$rows" -eq 40 ] || fail "demo printed $rows format rows, not 40"
grep -qE '^rgba +0 +inf ' <<<"$demo" || fail "rgba did not round-trip exactly"
grep -qE '^yuv444p +[01] ' <<<"$demo" || fail "yuv444p is off by more than one code"
[ -s sheet.png ] || fail "no contact sheet written"
grep -q "Contact sheet written to $WORK/sheet.png" <<<"$demo" || fail "the sheet's path is not printed"
head -c 8 sheet.png | od -An -tx1 | grep -q "89 50 4e 47 0d 0a 1a 0a" || fail "sheet.png is not a PNG"

# The bench: figures for ten formats and three conversions, as JSON on request.
bench=$("$TOOL" bench --size 64x32 --seconds 0.05 --json) || fail "bench exited with $?"
grep -qE '"tasksPerSecond": [0-9]+' <<<"$bench" || fail "bench JSON lacks the dispatch rate"
formats=$(grep -c '"format":' <<<"$bench")
[ "$formats" -eq 10 ] || fail "bench measured $formats formats, not 10"
conversions=$(grep -cE '"conversion": "[^"]+", "width": 64, "height": 32, "fps": [0-9.]+' <<<"$bench")
[ "$conversions" -eq 3 ] || fail "bench measured $conversions conversions, not 3"
grep -qE '"format": "nv12", "width": 64, "height": 32, "uploadFps": [0-9.]+' <<<"$bench" ||
    fail "bench JSON lacks the nv12 row"
"$TOOL" bench --seconds 0 >/dev/null 2>&1
[ $? -eq 2 ] || fail "bench accepted zero seconds"

# Convert: Y4M 4:2:0 to 10-bit 4:4:4 and back, raw output, and refusals.
{
    printf 'YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C420jpeg XYSCSS=420JPEG\n'
    for frame in 1 2 3; do
        printf 'FRAME\n'
        head -c 128 /dev/zero | tr '\0' '\140'
        head -c 64 /dev/zero | tr '\0' '\200'
    done
} >grey.y4m
"$TOOL" convert grey.y4m deep.y4m --pix-fmt yuv444p10le >convert.txt || fail "convert to yuv444p10le exited with $?"
grep -q "3 frames 16x8 yuv420p (limited) -> yuv444p10le (limited)" convert.txt ||
    fail "convert printed no summary"
# A progress line with the ETA on a terminal only (script lends the tool one).
script -qec "'$TOOL' convert grey.y4m tty.y4m" /dev/null >tty.txt 2>&1 || fail "convert on a terminal failed"
grep -qE '[0-9]+/3 frames, [0-9.]+ fps, ETA [0-9]+ s' tty.txt || fail "no progress line on a terminal"
# The first update of a one-frame clip is already the final state: shown once.
head -c $(($(head -1 grey.y4m | wc -c) + 198)) grey.y4m >oneframe.y4m
script -qec "'$TOOL' convert oneframe.y4m tty1.y4m" /dev/null >tty1.txt 2>&1 || fail "convert on a terminal failed"
[ "$(tr '\r' '\n' <tty1.txt | grep -c '^1 frames, ')" -eq 1 ] || fail "the final progress line was not printed once"
"$TOOL" convert grey.y4m notty.y4m >/dev/null 2>progress.txt
[ ! -s progress.txt ] || fail "a progress line went to a file"
# One frame in flight or many: the same bytes.
"$TOOL" convert grey.y4m serial.y4m --pix-fmt yuv444p10le --in-flight 1 >/dev/null || fail "--in-flight 1 failed"
cmp -s deep.y4m serial.y4m || fail "frames in flight changed the output"
head -1 deep.y4m | grep -q "C444p10 XCOLORRANGE=LIMITED" || fail "the 10-bit Y4M header is wrong"
# Header + 3 x (FRAME line + 3 planes of 16x8 two-byte samples).
[ "$(stat -c %s deep.y4m)" -eq $(($(head -1 deep.y4m | wc -c) + 3 * (6 + 3 * 16 * 8 * 2))) ] ||
    fail "deep.y4m has the wrong size"
"$TOOL" convert deep.y4m back.yuv --pix-fmt yuv420p >/dev/null || fail "convert to raw exited with $?"
# A flat grey survives exactly: 96 luma, 128 chroma.
[ "$(od -An -tu1 -v back.yuv | tr -s ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' ')" = "128 96 " ] ||
    fail "flat grey did not survive the round trip"
"$TOOL" convert back.yuv again.y4m --size 16x8 --in-pix-fmt yuv420p >/dev/null || fail "raw input was refused"
head -c 150 grey.y4m >truncated.y4m
"$TOOL" convert truncated.y4m cut.y4m 2>errors.txt
[ $? -eq 3 ] || fail "a truncated file did not exit with 3"
grep -q "truncated" errors.txt || fail "no cause given for the truncated file"
ls cut.y4m* >/dev/null 2>&1 && fail "an output without a whole frame was left behind"
"$TOOL" convert grey.y4m x.y4m --pix-fmt nv12 2>errors.txt
[ $? -eq 2 ] || fail "Y4M output of nv12 did not exit with 2"
"$TOOL" convert grey.y4m x.yuv --range studio 2>errors.txt
[ $? -eq 2 ] && grep -q "unknown range 'studio'" errors.txt || fail "an unknown range was not refused"
# Dither: a flat 16-bit 128.5/255 becomes half 128 and half 129 with --dither ordered.
for _ in $(seq 768); do printf '\001\201'; done >flat.rgb  # 33025 = 0x8101, little-endian
"$TOOL" convert flat.rgb dithered.rgb --size 16x16 --in-pix-fmt rgb48le --pix-fmt rgb24 \
    --dither ordered >/dev/null || fail "--dither ordered failed"
high=$(od -An -tu1 -v dithered.rgb | tr -s ' ' '\n' | grep -c '^129$')
[ "$high" -ge 360 ] && [ "$high" -le 408 ] || fail "ordered dither gave $high of 768 samples 129"
"$TOOL" convert flat.rgb x.rgb --size 16x16 --in-pix-fmt rgb48le --pix-fmt rgb24 --dither random \
    2>errors.txt
[ $? -eq 2 ] && grep -q "unknown dither 'random' (valid: none, ordered)" errors.txt ||
    fail "an unknown dither was not refused"
# Every layout takes both ranges: limited 96 is full-range 93 in 4:1:1 too.
"$TOOL" convert grey.y4m x.yuv --pix-fmt yuv411p --range pc >/dev/null || fail "full-range 4:1:1 failed"
[ "$(od -An -tu1 -v x.yuv | tr -s ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' ')" = "128 93 " ] ||
    fail "limited 96 is not full-range 93 in 4:1:1"
# Y4M chroma siting tags come back as they came; other layouts get their own tag.
for tag in 420mpeg2 420paldv 420jpeg 420; do
    sed "1s/C420jpeg/C$tag/" grey.y4m >sited.y4m
    "$TOOL" convert sited.y4m sited-out.y4m >/dev/null || fail "C$tag input failed"
    head -1 sited-out.y4m | grep -q " C$tag " || fail "C$tag did not come back as it came"
done
"$TOOL" convert sited.y4m x.y4m --pix-fmt yuv422p >/dev/null && head -1 x.y4m | grep -q " C422 " ||
    fail "a 4:2:2 output kept a 4:2:0 tag"
# A new siting is stated in the tag; chroma is resampled with a kernel by default.
"$TOOL" convert grey.y4m resited.y4m --chroma-loc topleft >/dev/null && head -1 resited.y4m |
    grep -q " C420paldv " || fail "--chroma-loc topleft did not write C420paldv"
"$TOOL" convert grey.y4m x.y4m --chroma-filter sinc 2>errors.txt
[ $? -eq 2 ] && grep -q "unknown chroma filter 'sinc' (valid: nearest, bilinear, bicubic)" errors.txt ||
    fail "an unknown chroma filter was not refused"
# --scale resizes and keeps the display aspect in the header; --size is raw input's only.
"$TOOL" convert grey.y4m scaled.y4m --scale 12x3 --scale-filter lanczos3 >convert.txt ||
    fail "--scale failed"
head -1 scaled.y4m | grep -q "W12 H3 .* A1:2 " || fail "the scaled header is wrong: $(head -1 scaled.y4m)"
grep -q "16x8 yuv420p (limited) -> 12x3 yuv420p" convert.txt || fail "no output size in the summary"
[ "$(tail -c +$(($(head -1 scaled.y4m | wc -c) + 7)) scaled.y4m | head -c 36 | od -An -tu1 -v |
    tr -s ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' ')" = "96 " ] || fail "a flat grey did not stay flat when scaled"
"$TOOL" convert grey.y4m x.y4m --size 8x4 2>errors.txt
[ $? -eq 2 ] && grep -q "scale WxH resizes" errors.txt || fail "--size on Y4M input was not refused"
for bad in "--scale-filter sinc" "--scale-light log" "--tonemap hable" "--gamut warp" "--scale 0x4"; do
    # shellcheck disable=SC2086
    "$TOOL" convert grey.y4m x.y4m $bad 2>errors.txt
    [ $? -eq 2 ] || fail "$bad was not refused with status 2"
done
grep -q "takes WxH" errors.txt || fail "a bad --scale was not explained"
# One chroma step, 4:2:0 (centred) to 4:4:4: the nearest sample keeps it hard,
# bilinear puts a quarter and three quarters of the way on the pixels beside it.
{
    printf 'YUV4MPEG2 W8 H2 F25:1 Ip A1:1 C420jpeg\nFRAME\n'
    head -c 16 /dev/zero | tr '\0' '\200'
    printf '\100\100\300\300\200\200\200\200'
} >step.y4m
"$TOOL" convert step.y4m hard.yuv --pix-fmt yuv444p --chroma-filter nearest >/dev/null &&
    "$TOOL" convert step.y4m soft.yuv --pix-fmt yuv444p >/dev/null || fail "4:2:0 to 4:4:4 failed"
[ "$(od -An -tu1 -j16 -N8 -v hard.yuv | tr -s ' ')" = " 64 64 64 64 192 192 192 192" ] ||
    fail "nearest chroma is not a hard step ($(od -An -tu1 -j16 -N8 -v hard.yuv))"
[ "$(od -An -tu1 -j16 -N8 -v soft.yuv | tr -s ' ')" = " 64 64 64 96 160 192 192 192" ] ||
    fail "bilinear chroma is not a soft step ($(od -An -tu1 -j16 -N8 -v soft.yuv))"
# Matrices per side, by FFmpeg's names; an unknown one is refused with the valid names.
"$TOOL" convert grey.y4m x.yuv --matrix ycgco 2>errors.txt
[ $? -eq 2 ] && grep -q "unknown or unsupported matrix 'ycgco' (valid: .*bt2020nc" errors.txt ||
    fail "an unsupported matrix was not refused with the valid names"
# Saturated BT.2020 red (Y 74, Cb 97, Cr 240 in BT.2020 NCL) read as BT.2020 and written
# as BT.709 keeps its hue only when each side uses its own matrix.
{
    printf 'YUV4MPEG2 W2 H2 F25:1 Ip A1:1 C444\nFRAME\n'
    printf '\112\112\112\112\141\141\141\141\360\360\360\360'
} >red2020.y4m
"$TOOL" convert red2020.y4m red709.rgb --pix-fmt rgb24 --in-primaries bt2020 --primaries bt2020 \
    >/dev/null || fail "BT.2020 YUV to RGB failed"
read -r r g b <<<"$(head -c 3 red709.rgb | od -An -tu1)"
[ "$r" -ge 254 ] && [ "$g" -le 1 ] && [ "$b" -le 1 ] ||
    fail "BT.2020 red did not decode with the BT.2020 matrix (got $r $g $b)"
"$TOOL" convert red2020.y4m same.y4m --in-matrix bt2020nc --matrix bt709 >/dev/null ||
    fail "--in-matrix/--matrix failed"
cmp -s <(tail -c 12 same.y4m) <(tail -c 12 red2020.y4m) && fail "the output matrix was ignored"
# Full range both ways: limited grey 96 is full-range 93, and back.
"$TOOL" convert grey.y4m full.y4m --range pc >/dev/null || fail "full-range output exited with $?"
head -1 full.y4m | grep -q "XCOLORRANGE=FULL" || fail "the full-range header lacks XCOLORRANGE=FULL"
"$TOOL" convert full.y4m limited.yuv --range tv >/dev/null || fail "full-range input exited with $?"
[ "$(od -An -tu1 -v limited.yuv | tr -s ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' ')" = "128 96 " ] ||
    fail "grey did not survive a full-range round trip"
[ "$(tail -c 192 full.y4m | head -c 1 | od -An -tu1 | tr -d ' ')" = "93" ] || fail "limited 96 is not full-range 93"
"$TOOL" convert grey.y4m x.yuv --pix-fmt yuyv422 2>errors.txt
[ $? -eq 2 ] || fail "an unsupported output format did not exit with 2"
grep -q "unknown or unsupported pixel format 'yuyv422'" errors.txt || fail "no cause given for yuyv422"

# Colour conversion in convert: a neutral BT.2020 PQ grey becomes a brighter,
# still neutral and uniform BT.709 grey (PQ 128 is about 92 cd/m², above SDR
# mid-grey once reference white maps to SDR white).
{
    printf 'YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C420jpeg\n'
    printf 'FRAME\n'
    head -c 192 /dev/zero | tr '\0' '\200'
} >pq.y4m
"$TOOL" convert pq.y4m sdr.yuv --in-primaries bt2020 --in-transfer smpte2084 --primaries bt709 \
    --transfer bt709 >/dev/null || fail "PQ to SDR convert exited with $?"
luma=$(head -c 128 sdr.yuv | od -An -tu1 -v | tr -s ' ' '\n' | grep -v '^$' | sort -u)
chroma=$(tail -c 64 sdr.yuv | od -An -tu1 -v | tr -s ' ' '\n' | grep -v '^$' | sort -u)
[ "$(wc -l <<<"$luma")" -eq 1 ] && [ "$luma" -gt 128 ] && [ "$luma" -lt 235 ] ||
    fail "PQ grey did not become one brighter SDR grey (got $luma)"
[ "$chroma" = "128" ] || fail "PQ grey lost its neutrality (chroma $chroma)"
"$TOOL" convert pq.y4m x.yuv --transfer hlg 2>errors.txt
[ $? -eq 2 ] && grep -q "unknown transfer 'hlg'" errors.txt || fail "an unknown transfer was not refused"

# PNG sequences: out to 16-bit RGBA and back, and a missing sequence refused.
"$TOOL" convert grey.y4m 'frame%03d.png' --pix-fmt rgba64le >/dev/null || fail "PNG output exited with $?"
[ -s frame001.png ] && [ -s frame003.png ] && [ ! -e frame004.png ] || fail "the PNG sequence is not frames 1-3"
"$TOOL" convert 'frame%03d.png' fromPng.yuv --pix-fmt yuv420p >/dev/null || fail "PNG input exited with $?"
[ "$(od -An -tu1 -v fromPng.yuv | tr -s ' ' '\n' | grep -v '^$' | sort -u | tr '\n' ' ')" = "128 96 " ] ||
    fail "grey did not survive a 16-bit PNG round trip"
"$TOOL" convert 'missing%03d.png' x.yuv 2>errors.txt
[ $? -eq 1 ] && grep -q "no frame of the sequence" errors.txt || fail "a missing sequence was not refused"

# Command line
# The version is the project's; --help after a command shows that command only.
version=$(sed -n 's/^project(RenderHub VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
[ -n "$version" ] || fail "the project version cannot be read from CMakeLists.txt"
[ "$("$TOOL" --version)" = "renderhub $version" ] || fail "--version does not print 'renderhub $version'"
help=$("$TOOL" convert --help) || fail "convert --help exited with $?"
for option in --pix-fmt --in-format -f --start-number --quiet; do
    grep -q -- "$option " <<<"$help" || fail "convert --help lacks $option"
done
grep -qE '^  (demo|bench|info) ' <<<"$help" && fail "convert --help shows other commands"
help=$("$TOOL" info --help) || fail "info --help exited with $?"
if ! grep -q "^  info " <<<"$help" || grep -qE '^  (demo|bench|convert) ' <<<"$help"; then
    fail "info --help does not show info alone"
fi
# Usage errors exit with 2 and name the valid choices or the missing value.
usage_error() {
    local expected="$1"
    shift
    "$TOOL" "$@" >/dev/null 2>errors.txt
    local status=$?
    [ $status -eq 2 ] || fail "'$*' exited with $status, not 2"
    grep -qF -- "renderhub: $expected" errors.txt || fail "'$*' did not say: $expected"
}
{
    printf 'YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C420jpeg\nFRAME\n'
    head -c 192 /dev/zero | tr '\0' '\200'
} >cli.y4m
usage_error "unknown command 'nonsense' (valid: demo, bench, convert, info)" nonsense
usage_error "unknown convert option '--pixfmt' (valid: --pix-fmt, " convert cli.y4m x.y4m --pixfmt nv12
usage_error "unknown demo option '--format' (valid: --size, --frames, --output)" demo --format png
usage_error "--pix-fmt needs a value" convert cli.y4m x.y4m --pix-fmt
usage_error "--size needs a value" demo --size
usage_error "unexpected argument 'extra'" info extra
usage_error "unexpected argument 'third.y4m'" convert cli.y4m x.y4m third.y4m
# Numbers are read whole: trailing junk is refused, not cut off.
usage_error "--size takes WxH" demo --size 64x36abc
usage_error "--frames takes a number from 1 to 1000" demo --size 16x16 --frames 1e3
usage_error "--seconds takes a number above 0" bench --size 16x16 --seconds 0.1s
usage_error "--in-flight takes a number from 1 to 64" convert cli.y4m x.y4m --in-flight 4abc
usage_error "--source-peak takes cd/m2 above 0" convert cli.y4m x.y4m --source-peak 500abc
usage_error "--start-number takes a number 0 or above" convert 'seq%02d.png' x.y4m --start-number -1
usage_error "--start-number takes a number 0 or above" convert 'seq%02d.png' x.y4m --start-number 1x
# Failures while running exit with 1, not the usage status.
"$TOOL" demo --size 16x16 --frames 1 --output "$WORK/missing/sheet.png" >/dev/null 2>&1
status=$?
[ $status -eq 1 ] || fail "an unwritable contact sheet exited with $status, not 1"
# --quiet, containers by name, standard input and output, PNG start numbers.
"$TOOL" convert cli.y4m quiet.y4m --quiet >quiet.txt 2>&1 || fail "convert --quiet exited with $?"
[ ! -s quiet.txt ] || fail "convert --quiet printed: $(head -1 quiet.txt)"
tail -c 192 cli.y4m >planes.yuv
cmp -s <(tail -c 192 quiet.y4m) planes.yuv || fail "convert --quiet changed the samples"
"$TOOL" convert cli.y4m planes.dat -f raw --quiet || fail "-f raw exited with $?"
cmp -s planes.dat planes.yuv || fail "-f raw did not write the bare planes"
"$TOOL" convert planes.dat fromRaw.y4m --in-format raw --size 16x8 --in-pix-fmt yuv420p --quiet ||
    fail "--in-format raw exited with $?"
cmp -s <(tail -c 192 fromRaw.y4m) planes.yuv || fail "--in-format raw did not read the bare planes"
"$TOOL" convert - - --quiet <cli.y4m >piped.y4m || fail "convert - - exited with $?"
cmp -s piped.y4m quiet.y4m || fail "standard input to standard output differs from files"
"$TOOL" convert - - --in-format y4m -f raw --quiet <cli.y4m >piped.dat || fail "piped -f raw exited with $?"
cmp -s piped.dat planes.yuv || fail "standard output with -f raw is not the bare planes"
{ cat cli.y4m && tail -c 198 cli.y4m && tail -c 198 cli.y4m; } >three.y4m
"$TOOL" convert three.y4m 'seq%02d.png' --pix-fmt rgba --quiet || fail "PNG output exited with $?"
"$TOOL" convert 'seq%02d.png' fromTwo.yuv --start-number 2 --pix-fmt yuv420p --quiet ||
    fail "--start-number 2 exited with $?"
[ "$(stat -c %s fromTwo.yuv)" -eq $((2 * 192)) ] || fail "--start-number 2 did not read frames 2 and 3"
# A display nobody serves is named; without DISPLAY the message stays as it was.
display=150
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
DISPLAY=":$display" "$TOOL" info >/dev/null 2>errors.txt
status=$?
[ $status -eq 1 ] || fail "an unserved display exited with $status, not 1"
[ "$(cat errors.txt)" = "renderhub: cannot connect to display :$display" ] ||
    fail "an unserved display was reported as: $(head -1 errors.txt)"
env -u DISPLAY -u QT_QPA_PLATFORM "$TOOL" info >/dev/null 2>errors.txt
status=$?
if [ $status -ne 1 ] || ! grep -q "no X display (DISPLAY is not set)" errors.txt; then
    fail "no DISPLAY was not reported (status $status)"
fi
# The host's settings file is read only when it is a regular file: a FIFO there
# must not block, while a real file still switches interop off.
rm -rf config && mkdir -p config/Kavrin && mkfifo config/Kavrin/Core.conf
XDG_CONFIG_HOME="$WORK/config" timeout 20 "$TOOL" info >fifo.txt 2>&1
status=$?
[ $status -eq 0 ] || fail "info with a FIFO for Core.conf exited with $status"
grep -q "Direct3D interop : INTEROP_AVAILABLE" fifo.txt || fail "a FIFO for Core.conf changed the interop status"
rm config/Kavrin/Core.conf && printf '[OpenGL]\nDisableDirectX=1\n' >config/Kavrin/Core.conf
XDG_CONFIG_HOME="$WORK/config" "$TOOL" info 2>&1 | grep -q "Direct3D interop : FORCED_OFF" ||
    fail "DisableDirectX in Core.conf did not switch interop off"

if [ $failures -eq 0 ]; then
    echo "renderhub tool: all checks passed"
fi
exit $((failures > 0))
