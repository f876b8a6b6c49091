#!/usr/bin/env bash
# stop.sh STATEDIR
#
# Stops the servers that start.sh recorded in STATEDIR (each with everything
# it forked), removes the throwaway account, then removes STATEDIR. Only the
# recorded processes are touched. Set FTP_SERVERS_KEEP_STATE=1 to keep
# STATEDIR (logs, roots) for a look afterwards. A missing STATEDIR is not an
# error, so this can run twice.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=common.sh
. "$here/common.sh"

(($# == 1)) || die "usage: ${0##*/} STATEDIR"
if ((EUID != 0)); then
    command -v sudo >/dev/null || die "must run as root"
    exec sudo -- env FTP_SERVERS_KEEP_STATE="${FTP_SERVERS_KEEP_STATE:-}" "$0" "$@"
fi

TERM_WAIT_S=5
KILL_WAIT_S=2

[[ -d $1 ]] || exit 0
state=$(cd "$1" && pwd)
if [[ ! -f $state/$STATE_MARKER ]]; then
    # An empty folder (start.sh failed before it wrote anything) may go.
    rmdir "$state" 2>/dev/null && exit 0
    die "$state was not made by start.sh; leaving it alone"
fi

status=0

# ---------------------------------------------------------------- servers ---

targets=()
for pidfile in "$state"/pids/*.pid; do
    [[ -f $pidfile ]] || continue
    pid='' start=''
    read -r pid start <"$pidfile" || true
    [[ $pid =~ ^[0-9]+$ ]] || continue
    if [[ -d /proc/$pid ]]; then
        # Same PID but another start time: ours is gone and the number reused.
        [[ -n $start && $(proc_starttime "$pid" || true) == "$start" ]] || continue
        targets+=("$pid")
        mapfile -t -O "${#targets[@]}" targets < <(proc_descendants "$pid")
    fi
    # Each server leads its own session; a PID cannot be handed out again
    # while a session of that number still has members, so these are ours
    # even when the leader has died.
    mapfile -t -O "${#targets[@]}" targets < <(ps -eo pid=,sid= | awk -v sid="$pid" '$2 == sid { print $1 }')
done

# alive PID...: prints those still running.
alive() {
    local pid left=()
    for pid in "$@"; do
        proc_running "$pid" && left+=("$pid")
    done
    ((${#left[@]})) && printf '%s\n' "${left[@]}"
    return 0
}

# wait_gone SECONDS PID...: prints those still alive after at most SECONDS.
wait_gone() {
    local seconds=$1 round left
    shift
    for ((round = 0; round < seconds * 20; round++)); do
        mapfile -t left < <(alive "$@")
        ((${#left[@]} == 0)) && return 0
        sleep 0.05
    done
    alive "$@"
}

if ((${#targets[@]})); then
    mapfile -t targets < <(printf '%s\n' "${targets[@]}" | sort -un)
    kill -TERM "${targets[@]}" 2>/dev/null || true
    mapfile -t left < <(wait_gone "$TERM_WAIT_S" "${targets[@]}")
    if ((${#left[@]})); then
        note "still running after SIGTERM, killing: ${left[*]}"
        kill -KILL "${left[@]}" 2>/dev/null || true
        mapfile -t left < <(wait_gone "$KILL_WAIT_S" "${left[@]}")
        if ((${#left[@]})); then
            note "could not stop: ${left[*]}"
            status=1
        fi
    fi
fi

# ---------------------------------------------------------------- account ---

if [[ -f $state/account ]]; then
    user=$(<"$state/account")
    IFS=: read -r _ _ _ _ gecos home _ < <(getent passwd "$user" || true) || true
    if [[ ${gecos:-} == "$ACCOUNT_MARKER" && ${home:-} == "$state/home" ]]; then
        if ! userdel "$user" >/dev/null; then
            note "could not remove account $user"
            status=1
        fi
    fi
    if getent group "$user" >/dev/null && [[ -z $(getent group "$user" | cut -d: -f4) ]]; then
        groupdel "$user" >/dev/null 2>&1 || true
    fi
fi

# ------------------------------------------------------------------ state ---

if [[ ${FTP_SERVERS_KEEP_STATE:-} == 1 ]]; then
    note "state kept in $state"
else
    rm -rf -- "$state"
fi
exit "$status"
