#!/usr/bin/env bash
# with-servers.sh COMMAND [ARG...]
#
# Starts the local FTP test servers (start.sh) in a fresh temporary state
# folder, runs COMMAND with the variables of servers.env exported, and always
# stops them again (stop.sh), whether COMMAND succeeds, fails or is
# interrupted. Exits with COMMAND's status (1 if the servers did not start,
# 128+N if interrupted by signal N).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

(($# >= 1)) || {
    echo "usage: ${0##*/} COMMAND [ARG...]" >&2
    exit 2
}

state=$(mktemp -d "${TMPDIR:-/tmp}/ftp-servers.XXXXXXXX")
child=

# shellcheck disable=SC2317 # runs from the traps below
cleanup() {
    local rc=$? i
    trap - EXIT INT TERM HUP
    if [[ -n $child ]] && kill -0 "$child" 2>/dev/null; then
        kill -TERM "$child" 2>/dev/null || true
        # Bounded: give the command up to 5 s to go, then stop the servers anyway.
        for ((i = 0; i < 100; i++)); do
            kill -0 "$child" 2>/dev/null || break
            sleep 0.05
        done
    fi
    "$here/stop.sh" "$state" || { ((rc)) || rc=1; }
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

"$here/start.sh" "$state"

set -a
# shellcheck source=/dev/null
. "$state/servers.env"
set +a

# In the background so that a signal to this script is handled at once
# (the trap stops the command, then the servers); stdin is passed on.
set +e
[[ -e /proc/self/fd/0 ]] || exec </dev/null # stdin may be closed
exec 3<&0
"$@" <&3 3<&- &
child=$!
exec 3<&-
wait "$child"
status=$?
child=
set -e
exit "$status"
