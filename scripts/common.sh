# Shared by run.sh and test.sh: install what is missing, configure, build.
# Sourced, not run.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${RENDERHUB_BUILD_DIR:-$ROOT/build}"
JOBS="${RENDERHUB_JOBS:-2}"

bootstrap_and_configure() {
    "$ROOT/scripts/bootstrap.sh"
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${RENDERHUB_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
}

# Runs a command under a virtual X server when there is no display.
with_display() {
    if [ -n "${DISPLAY:-}" ]; then
        "$@"
    else
        # -noreset: a server that resets when its last client leaves refuses the
        # next one now and then, and the suite connects many times.
        xvfb-run -a -s "-noreset -screen 0 1280x1024x24" "$@"
    fi
}
