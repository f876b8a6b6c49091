#!/usr/bin/env bash
# ftp-connect-bench.sh BUILD_DIR [ARG...]
#
# Runs BUILD_DIR/bench/ftp_connect_bench (or BUILD_DIR/ftp_connect_bench) with the local FTP servers
# started around it by scripts/servers/with-servers.sh. ARGs go to the bench: --runs N, --settle MS,
# --raw-nodelay, --only component|curl|raw.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

(($# >= 1)) || {
    echo "usage: ${0##*/} BUILD_DIR [--runs N] [--settle MS] [--raw-nodelay] [--only component|curl|raw]" >&2
    exit 2
}
build=$1
shift

bin=
for candidate in "$build/bench/ftp_connect_bench" "$build/ftp_connect_bench"; do
    if [[ -x $candidate ]]; then
        bin=$candidate
        break
    fi
done
[[ -n $bin ]] || {
    echo "${0##*/}: no ftp_connect_bench under $build: build the target ftp_connect_bench first" >&2
    exit 2
}
command -v curl >/dev/null || {
    echo "${0##*/}: curl is not installed" >&2
    exit 2
}

exec "$here/../scripts/servers/with-servers.sh" "$bin" --curl "$(command -v curl)" "$@"
