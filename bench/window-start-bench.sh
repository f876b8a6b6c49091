#!/usr/bin/env bash
# window-start-bench.sh BUILD_DIR [--runs N]
#
# Start-up time of envoi-ftp against a minimal Qt window, on a virtual display (Xvfb) of its own.
set -euo pipefail
(($# >= 1)) || {
    echo "usage: ${0##*/} BUILD_DIR [--runs N]" >&2
    exit 2
}
build=$1
shift
command -v xvfb-run >/dev/null || {
    echo "${0##*/}: xvfb-run is missing: apt-get install xvfb xauth" >&2
    exit 2
}
# Qt wants a runtime folder of its own; a throwaway one keeps it quiet.
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
exec xvfb-run -a -s "-screen 0 1024x640x24" "$build/bench/window_start_bench" \
    "$build/app/envoi-ftp" "$build/bench/minimal_window" "$@"
