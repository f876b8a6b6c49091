# shellcheck shell=bash disable=SC2034
# Shared settings for the local FTP test servers. Sourced by install.sh,
# start.sh and stop.sh; not meant to be run on its own.
#
# vsftpd, pure-ftpd and proftpd all "Provide" and "Conflict" with ftp-server
# in Debian, so apt would only ever keep one of them. Instead, their packages
# are unpacked (dpkg-deb -x, no maintainer scripts, no daemon started) into a
# cache outside the work tree:
#
#   ${FTP_SERVERS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/envoi_ftp/ftp-servers}
#     debs/   the downloaded .deb files
#     root/   their unpacked contents (root/usr/sbin/vsftpd, ...)
#     *.libdeps  the library packages each one needs, installed with apt
#
# Delete that folder to force a fresh download.

FTP_SERVERS_CACHE=${FTP_SERVERS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/envoi_ftp/ftp-servers}
FTP_SERVERS_ROOTFS=$FTP_SERVERS_CACHE/root

# Debian packages unpacked into the cache, and the binaries used from them.
SERVER_DEBS=(vsftpd pure-ftpd proftpd-core)
VSFTPD_BIN=$FTP_SERVERS_ROOTFS/usr/sbin/vsftpd
PUREFTPD_BIN=$FTP_SERVERS_ROOTFS/usr/sbin/pure-ftpd
PUREPW_BIN=$FTP_SERVERS_ROOTFS/usr/bin/pure-pw
PROFTPD_BIN=$FTP_SERVERS_ROOTFS/usr/sbin/proftpd
SERVER_BINS=("$VSFTPD_BIN" "$PUREFTPD_BIN" "$PUREPW_BIN" "$PROFTPD_BIN")

# pyftpdlib comes from Debian and must run with Debian's interpreter, not
# whatever python3 happens to come first on PATH.
SYSTEM_PYTHON=/usr/bin/python3

# Names used in servers.env (FTP_<NAME>_PORT, FTP_ROOT_<NAME>) and in the
# state folder (pids/<name>.pid, <name>.log, roots/<name>/).
SERVER_NAMES=(vsftpd pureftpd proftpd pyftpdlib)

# GECOS field of the throwaway system account, so that a leftover one (from a
# run that was killed before stop.sh) can be recognised and removed.
ACCOUNT_MARKER="envoi_ftp throwaway test account"

# Marker file that proves a folder is a state folder made by start.sh.
STATE_MARKER=.ftp-test-servers

die() {
    printf '%s: error: %s\n' "${0##*/}" "$*" >&2
    exit 1
}

note() {
    printf '%s: %s\n' "${0##*/}" "$*" >&2
}

# Field 22 of /proc/PID/stat: the start time of a process, in clock ticks
# since boot. Together with the PID it identifies one process for good.
proc_starttime() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    # shellcheck disable=SC2086
    set -- $stat
    printf '%s\n' "${20}"
}

# proc_running PID: true while the process exists and is not a zombie. A
# zombie holds nothing any more; reaping it is up to its parent (often init,
# and init may take its time).
proc_running() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [[ ${stat:0:1} != Z ]]
}

# All descendants of the given PID (children, grandchildren, ...).
proc_descendants() {
    ps -eo pid=,ppid= | awk -v root="$1" '
        { kids[$2] = kids[$2] " " $1 }
        END {
            n = split(kids[root], queue, " ")
            for (i = 1; i <= n; i++) {
                print queue[i]
                m = split(kids[queue[i]], more, " ")
                for (j = 1; j <= m; j++) queue[++n] = more[j]
            }
        }'
}
