#!/usr/bin/env bash
# What `renderhub convert` does with files: unsafe names and pictures refused
# before anything is touched, nothing that existed lost on failure or on a
# signal, special files and symlinks written through, pipes, truncated input.
# Usage: renderhub_files_test.sh PATH_TO_RENDERHUB WORK_DIR
set -uo pipefail
TOOL="$1"
WORK="$2"
rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK" || exit 1
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# The unique byte values of a file, for flat pictures.
values() { od -An -tu1 -v "$1" | tr -s ' ' '\n' | grep -v '^$' | sort -un | tr '\n' ' '; }
# A Y4M file's frames, without its header line (which names the range).
frames() { tail -c +$(($(head -1 "$1" | wc -c) + 1)) "$1"; }

# Three 16x8 frames of flat grey: luma 96, chroma 128.
{
    printf 'YUV4MPEG2 W16 H8 F25:1 Ip A1:1 C420jpeg\n'
    for _ in 1 2 3; do
        printf 'FRAME\n'
        head -c 128 /dev/zero | tr '\0' '\140'
        head -c 64 /dev/zero | tr '\0' '\200'
    done
} >grey.y4m

# PNG patterns: one %d or %0Nd; anything else is refused before any file exists.
for pattern in 'a%s.png' 'a%n.png' 'a%f.png' 'a%%.png' 'a%d%d.png' 'a%x.png'; do
    "$TOOL" convert grey.y4m "$pattern" 2>errors.txt
    [ $? -eq 2 ] && grep -q "unusable file pattern" errors.txt || fail "pattern '$pattern' was not refused"
done
[ -z "$(ls a* 2>/dev/null)" ] || fail "a refused pattern left files: $(ls a*)"
"$TOOL" convert grey.y4m '100%%-%02d.png' >/dev/null || fail "a literal percent in a pattern failed"
[ -s 100%-01.png ] && [ -s 100%-03.png ] || fail "'100%%-%02d.png' did not name 100%-01.png to 100%-03.png"

# A PNG is measured from its header, before it is decoded.
png() { # WIDTH HEIGHT FILE: a header declaring the size, then a tiny picture
    perl -e '
        sub crc { my $c = 0xffffffff;
            for my $b (unpack "C*", $_[0]) { $c ^= $b; $c = ($c >> 1) ^ (0xedb88320 & -($c & 1)) for 1..8 }
            return $c ^ 0xffffffff }
        sub chunk { my ($type, $data) = @_; pack("N", length $data) . $type . $data . pack("N", crc($type . $data)) }
        print "\x89PNG\r\n\x1a\n", chunk("IHDR", pack("NNCCCCC", $ARGV[0], $ARGV[1], 8, 2, 0, 0, 0)),
            chunk("IDAT", "\x78\x9c\x63\x60\x00\x00\x00\x02\x00\x01"), chunk("IEND", "");
    ' "$1" "$2" >"$3"
}
for size in 20000x20000 100000x100000; do
    png "${size%x*}" "${size#*x}" huge.png
    "$TOOL" convert huge.png huge.y4m --pix-fmt yuv444p 2>errors.txt
    [ $? -eq 1 ] && grep -q "'huge.png' is $size, more than" errors.txt ||
        fail "a PNG declaring $size was not refused with its size ($(cat errors.txt))"
done
# 16-bit grey keeps its 16 bits.
ffmpeg -v error -y -f lavfi -i nullsrc=s=4x2,format=gray16le,geq=lum=1000 -frames:v 1 \
    -pix_fmt gray16be grey16.png || fail "ffmpeg could not write a 16-bit grey PNG"
"$TOOL" convert grey16.png grey16.raw --pix-fmt rgba64le >/dev/null || fail "16-bit grey PNG input failed"
[ "$(od -An -tu2 -v -N8 grey16.raw | tr -s ' ')" = " 1000 1000 1000 65535" ] ||
    fail "16-bit grey came back as $(od -An -tu2 -v -N8 grey16.raw)"

# Sequences: the first number found in 0 to 4, or given; a gap is named.
"$TOOL" convert grey.y4m 'seq%d.png' >/dev/null || fail "PNG sequence output failed"
mkdir -p late && for n in 1 2 3; do cp "seq$n.png" "late/f$((n + 6)).png"; done
"$TOOL" convert 'late/f%d.png' late.y4m --pix-fmt yuv420p 2>errors.txt
[ $? -eq 1 ] && grep -q "no frame of the sequence" errors.txt || fail "a sequence from 7 was found without --start-number"
"$TOOL" convert 'late/f%d.png' late.y4m --pix-fmt yuv420p --start-number 7 >summary.txt ||
    fail "--start-number 7 failed"
grep -q "^3 frames" summary.txt || fail "--start-number 7 did not read 3 frames"
rm late/f8.png
"$TOOL" convert 'late/f%d.png' gap.y4m --pix-fmt yuv420p --start-number 7 2>errors.txt
[ $? -eq 1 ] && grep -q "frame late/f8.png of the sequence 'late/f%d.png' is missing (late/f9.png comes later)" \
    errors.txt || fail "a gap in a sequence was not named ($(cat errors.txt))"

# A failed PNG conversion loses nothing: five old frames, a conversion that
# fails at frame 3 (a broken frame marker) and one that converts in place.
for n in 1 2 3 4 5; do printf 'old %d' "$n" >"o000$n.png"; done
{ head -c $((40 + 2 * 198)) grey.y4m; printf 'FRAMX\n'; head -c 192 /dev/zero; } >broken.y4m
"$TOOL" convert broken.y4m 'o%04d.png' 2>errors.txt
[ $? -eq 1 ] || fail "a conversion failing at frame 3 did not exit with 1"
for n in 1 2 3 4 5; do
    [ "$(cat "o000$n.png")" = "old $n" ] || fail "o000$n.png was changed by a failed conversion"
done
[ -z "$(ls ./*partial* 2>/dev/null)" ] || fail "temporary files were left: $(ls ./*partial*)"
"$TOOL" convert 'seq%d.png' 'seq%d.png' >/dev/null || fail "an in-place PNG conversion failed"
[ -s seq1.png ] && [ -s seq3.png ] || fail "an in-place PNG conversion lost its frames"

# Writes are checked: a full device fails, a full-disk PNG sequence leaves nothing.
"$TOOL" convert grey.y4m /dev/full -f y4m 2>errors.txt
[ $? -eq 1 ] || fail "writing to a full device did not fail"
ln -s /dev/full full1.png
"$TOOL" convert grey.y4m 'full%d.png' 2>errors.txt
[ $? -eq 1 ] && [ -L full1.png ] && [ ! -e full2.png ] || fail "a PNG sequence to a full disk did not fail cleanly"
"$TOOL" demo --size 32x16 --frames 1 --output sheet.png >/dev/null || fail "demo failed"
cp sheet.png sheet-before.png
# A file size limit stands in for a full disk: writes past 4 KiB fail (EFBIG).
limited() { (trap '' XFSZ && ulimit -f 4 && "$@"); }
limited "$TOOL" demo --size 32x16 --frames 1 --output sheet.png >/dev/null 2>&1 &&
    fail "a demo sheet larger than the disk allows succeeded"
{
    printf 'YUV4MPEG2 W64 H64 F25:1 Ip A1:1 C420jpeg\n'
    for _ in 1 2; do printf 'FRAME\n' && head -c 6144 /dev/urandom; done
} >noise.y4m
printf 'old frame' >big1.png
limited "$TOOL" convert noise.y4m 'big%d.png' --pix-fmt rgba64le >/dev/null 2>&1
[ $? -eq 1 ] && [ "$(cat big1.png)" = "old frame" ] && [ ! -e big2.png ] ||
    fail "a PNG sequence larger than the disk allows did not fail cleanly"
mkdir -p readonly && chmod 555 readonly
if [ "$(id -u)" -ne 0 ]; then
    "$TOOL" demo --size 32x16 --frames 1 --output readonly/sheet.png >/dev/null 2>&1 &&
        fail "a demo sheet into a read-only folder succeeded"
fi
cmp -s sheet.png sheet-before.png || fail "the old contact sheet changed"

# Special files are written into, symlinks through.
mkfifo pipe.y4m
cat pipe.y4m >from-fifo.y4m &
reader=$!
"$TOOL" convert grey.y4m pipe.y4m >/dev/null || fail "writing into a FIFO failed"
wait $reader
[ -p pipe.y4m ] || fail "the FIFO was replaced by a file"
cmp -s <(frames from-fifo.y4m) <(frames grey.y4m) || fail "the FIFO's reader did not get the video"
ln -s target.y4m link.y4m
"$TOOL" convert grey.y4m link.y4m >/dev/null || fail "writing through a dangling symlink failed"
[ -L link.y4m ] && cmp -s <(frames target.y4m) <(frames grey.y4m) || fail "the symlink was replaced instead of written through"

# Pipes: Y4M recognised on standard input, video on standard output, and
# everything said goes to standard error.
"$TOOL" convert - piped.yuv <grey.y4m >/dev/null || fail "Y4M from standard input failed"
[ "$(values piped.yuv)" = "96 128 " ] || fail "Y4M from standard input came out wrong"
cat piped.yuv | "$TOOL" convert - raw.y4m --size 16x8 --in-pix-fmt yuv420p >/dev/null ||
    fail "raw video from a pipe failed"
"$TOOL" convert grey.y4m - 2>said.txt | cat >stdout.y4m
cmp -s <(frames stdout.y4m) <(frames grey.y4m) || fail "Y4M on standard output is not the video"
grep -q "^3 frames" said.txt || fail "the summary did not go to standard error"

# Unknown containers are refused unless forced; a single PNG is one frame.
"$TOOL" convert grey.y4m out.mp4 2>errors.txt
[ $? -eq 2 ] && [ ! -e out.mp4 ] || fail "an unknown output extension was not refused"
"$TOOL" convert grey.y4m out.bin.video -f raw >/dev/null && [ -s out.bin.video ] || fail "-f raw was not honoured"
"$TOOL" convert grey.y4m single.png 2>errors.txt
[ $? -eq 2 ] && [ ! -e single.png ] || fail "three frames into one PNG were not refused"
head -c $((40 + 198)) grey.y4m >one.y4m
"$TOOL" convert one.y4m single.png >/dev/null && [ -s single.png ] || fail "one frame into a single PNG failed"

# A truncated last frame: the whole frames are kept, with status 3.
head -c $((40 + 2 * 198 + 100)) grey.y4m >cut.y4m
"$TOOL" convert cut.y4m kept.y4m >/dev/null 2>errors.txt
[ $? -eq 3 ] && grep -q "last input frame was truncated" errors.txt || fail "a truncated last frame was not reported"
cmp -s <(frames kept.y4m) <(head -c $((40 + 2 * 198)) grey.y4m | tail -c +41) || fail "the two whole frames were not kept"

# SIGTERM and SIGINT: temporary files go, the old output stays, 143 and 130.
head -c $((1280 * 720 * 3 / 2 * 40)) /dev/zero >big.yuv
for signal in TERM INT; do
    printf 'old output' >stopped.y4m
    "$TOOL" convert big.yuv stopped.y4m --size 1280x720 --in-pix-fmt yuv420p --pix-fmt yuv444p16le \
        --in-flight 1 >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 200); do
        [ -s stopped.y4m.renderhub-partial ] && break
        sleep 0.05
    done
    kill -"$signal" $pid
    wait $pid
    status=$?
    want=$([ $signal = TERM ] && echo 143 || echo 130)
    [ $status -eq "$want" ] || fail "SIG$signal ended with $status, not $want"
    [ ! -e stopped.y4m.renderhub-partial ] || fail "SIG$signal left the temporary file"
    [ "$(cat stopped.y4m)" = "old output" ] || fail "SIG$signal changed the old output"
done

if [ $failures -eq 0 ]; then
    echo "renderhub files: all checks passed"
fi
exit $((failures > 0))
