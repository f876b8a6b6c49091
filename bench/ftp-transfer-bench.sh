#!/usr/bin/env bash
# ftp-transfer-bench.sh BUILD_DIR [ARG...]
#
# Runs BUILD_DIR/bench/ftp_transfer_bench (or BUILD_DIR/ftp_transfer_bench) with the local FTP servers
# started around it by scripts/servers/with-servers.sh. Their state folder, and so the FTP roots, go to a
# tmpfs (/dev/shm), and so do the bench's local files: neither disk bounds the figures. ARGs go to the
# bench (--runs N, --size-mib N, --small-mib N, --budget-s N, --pin).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
shm=/dev/shm

(($# >= 1)) || {
    echo "usage: ${0##*/} BUILD_DIR [--runs N] [--size-mib N] [--small-mib N] [--budget-s N] [--pin]" >&2
    exit 2
}
build=$1
shift

bin=
for candidate in "$build/bench/ftp_transfer_bench" "$build/ftp_transfer_bench"; do
    if [[ -x $candidate ]]; then
        bin=$candidate
        break
    fi
done
[[ -n $bin ]] || {
    echo "${0##*/}: no ftp_transfer_bench under $build: build the target ftp_transfer_bench first" >&2
    exit 2
}
command -v curl >/dev/null || {
    echo "${0##*/}: curl is not installed" >&2
    exit 2
}
[[ -d $shm && -w $shm ]] || {
    echo "${0##*/}: $shm is missing or not writable: no tmpfs for the files" >&2
    exit 2
}

# with-servers.sh makes its state folder under TMPDIR; start.sh puts the roots inside it.
TMPDIR=$shm exec "$here/../scripts/servers/with-servers.sh" \
    "$bin" --curl "$(command -v curl)" --local-dir "$shm" "$@"
