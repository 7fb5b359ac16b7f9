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

# The bench: figures for the six main formats, as JSON on request.
bench=$("$TOOL" bench --size 64x32 --seconds 0.05 --json) || fail "bench exited with $?"
grep -qE '"tasksPerSecond": [0-9]+' <<<"$bench" || fail "bench JSON lacks the dispatch rate"
formats=$(grep -c '"format":' <<<"$bench")
[ "$formats" -eq 6 ] || fail "bench measured $formats formats, not 6"
grep -qE '"format": "nv12", "width": 64, "height": 32, "uploadFps": [0-9.]+' <<<"$bench" ||
    fail "bench JSON lacks the nv12 row"
"$TOOL" bench --seconds 0 >/dev/null 2>&1
[ $? -eq 2 ] || fail "bench accepted zero seconds"

if [ $failures -eq 0 ]; then
    echo "renderhub tool: all checks passed"
fi
exit $((failures > 0))
