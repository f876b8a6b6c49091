#!/usr/bin/env bash
# window-upload-bench.sh BUILD_DIR [--size-mib N] [--runs N]
#
# The window's upload against the bare component's, on a virtual display (Xvfb), with the local FTP
# servers around it; the FTP roots and the local file sit on a tmpfs (/dev/shm).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
(($# >= 1)) || {
    echo "usage: ${0##*/} BUILD_DIR [--size-mib N] [--runs N]" >&2
    exit 2
}
build=$1
shift
command -v xvfb-run >/dev/null || {
    echo "${0##*/}: xvfb-run is missing: apt-get install xvfb xauth" >&2
    exit 2
}
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
TMPDIR=/dev/shm exec xvfb-run -a -s "-screen 0 1024x640x24" "$here/../scripts/servers/with-servers.sh" \
    "$build/bench/window_upload_bench" --local-dir /dev/shm "$@"
