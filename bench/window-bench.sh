#!/usr/bin/env bash
# window-bench.sh BUILD_DIR start  [--runs N]
# window-bench.sh BUILD_DIR upload [--size-mib N] [--runs N]
#
# The window's figures, on a virtual display (Xvfb) of their own:
#   start   launch to window shown, against a minimal Qt window (window_start_bench)
#   upload  the window's 1 GiB upload against the bare component's, and its repaints meanwhile
#           (window_upload_bench), with the local FTP servers around it; the FTP roots and the local
#           file sit on a tmpfs (/dev/shm)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
(($# >= 2)) || {
    echo "usage: ${0##*/} BUILD_DIR start|upload [ARG...]" >&2
    exit 2
}
build=$1 which=$2
shift 2
command -v xvfb-run >/dev/null || {
    echo "${0##*/}: xvfb-run is missing: apt-get install xvfb xauth" >&2
    exit 2
}
# Qt wants a runtime folder of its own; a throwaway one keeps it quiet.
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
xvfb=(xvfb-run -a -s "-screen 0 1024x640x24")
case $which in
start) exec "${xvfb[@]}" "$build/bench/window_start_bench" "$build/app/envoi-ftp" \
    "$build/bench/minimal_window" "$@" ;;
upload) TMPDIR=/dev/shm exec "${xvfb[@]}" "$here/../scripts/servers/with-servers.sh" \
    "$build/bench/window_upload_bench" --local-dir /dev/shm "$@" ;;
*)
    echo "${0##*/}: start or upload, not $which" >&2
    exit 2
    ;;
esac
