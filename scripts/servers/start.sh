#!/usr/bin/env bash
# start.sh STATEDIR
#
# Starts four FTP servers for the integration tests, each on 127.0.0.1 on a
# free high port picked now: vsftpd, pure-ftpd, proftpd and pyftpdlib. They
# share one throwaway account (a system user made for this run: one letter and
# eight digits, with a random password) and each has its own FTP root under
# STATEDIR/roots/<name>, which holds the writable folder memoire/quil.
#
# Writes STATEDIR/servers.env:
#   FTP_HOST FTP_USER FTP_PASS FTP_UID FTP_GID FTP_SERVERS FTP_STATE_DIR
#   FTP_VSFTPD_PORT FTP_PUREFTPD_PORT FTP_PROFTPD_PORT FTP_PYFTPDLIB_PORT
#   FTP_ROOT_VSFTPD FTP_ROOT_PUREFTPD FTP_ROOT_PROFTPD FTP_ROOT_PYFTPDLIB
#
# Exits non-zero, after undoing what it did, if any server does not greet
# within 10 seconds. Stop everything with stop.sh STATEDIR. Needs root (uses
# sudo when run by another user) and what install.sh installs.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=common.sh
. "$here/common.sh"

(($# == 1)) || die "usage: ${0##*/} STATEDIR"
if ((EUID != 0)); then
    command -v sudo >/dev/null || die "must run as root"
    exec sudo -- env FTP_SERVERS_CACHE="$FTP_SERVERS_CACHE" "$0" "$@"
fi

GREETING_TIMEOUT_S=10

for bin in "${SERVER_BINS[@]}"; do
    [[ -x $bin ]] || die "$bin is missing: run $here/install.sh first"
done
"$SYSTEM_PYTHON" -c 'import pyftpdlib' 2>/dev/null ||
    die "$SYSTEM_PYTHON cannot import pyftpdlib: run $here/install.sh first"
command -v openssl >/dev/null || die "openssl is missing: run $here/install.sh first"

state=$1
[[ $state =~ ^[A-Za-z0-9_./-]+$ ]] || die "state folder path may only hold letters, digits and _ . / -"
mkdir -p "$state"
state=$(cd "$state" && pwd)
[[ -z $(ls -A "$state") ]] || die "$state is not empty (servers already started there?)"
touch "$state/$STATE_MARKER"
chmod 755 "$state"
mkdir -p "$state/pids"

t0=$(date +%s%N)
started=0
on_exit() {
    ((started)) && return
    local log
    for log in "$state"/*.log "$state"/*/*.log; do
        [[ -s $log ]] || continue
        printf -- '--- last lines of %s\n' "$log" >&2
        tail -n 15 "$log" >&2
    done
    note "undoing the partial start"
    "$here/stop.sh" "$state" >&2 || true
}
trap on_exit EXIT

# ---------------------------------------------------------------- account ---

# Accounts left behind by a run that was killed before it could stop: their
# state folder is gone.
while IFS=: read -r name _ _ _ gecos home _; do
    [[ $gecos == "$ACCOUNT_MARKER" && ! -d $home ]] || continue
    note "removing leftover account $name"
    userdel "$name" >/dev/null 2>&1 || true
done < <(getent passwd)

# random_chars CHARSET COUNT
random_chars() {
    local s
    s=$(head -c 1024 /dev/urandom | LC_ALL=C tr -dc "$1")
    ((${#s} >= $2)) || die "not enough random characters"
    printf '%s' "${s:0:$2}"
}

user=
for _ in {1..20}; do
    candidate=$(random_chars a-z 1)$(random_chars 0-9 8)
    if ! getent passwd "$candidate" >/dev/null && ! getent group "$candidate" >/dev/null; then
        user=$candidate
        break
    fi
done
[[ -n $user ]] || die "could not find a free account name"
pass=$(random_chars a-z0-9 8)
hash=$(openssl passwd -6 -stdin <<<"$pass")

# The home exists before the account does, so that a concurrent start.sh
# never takes this account for a leftover one.
mkdir -p "$state/home"
useradd --system --user-group --no-create-home --home-dir "$state/home" \
    --shell /usr/sbin/nologin --comment "$ACCOUNT_MARKER" --password "$hash" "$user"
printf '%s\n' "$user" >"$state/account"
uid=$(id -u "$user")
gid=$(id -g "$user")

for name in "${SERVER_NAMES[@]}"; do
    mkdir -p "$state/roots/$name/memoire/quil"
done
chmod -R 755 "$state/home" "$state/roots"
chown -R "$uid:$gid" "$state/home" "$state/roots"/*

# The account itself must be able to reach its roots (pyftpdlib runs as it).
setpriv --reuid="$uid" --regid="$gid" --clear-groups test -w "$state/roots/pyftpdlib/memoire/quil" ||
    die "the test account cannot reach $state: a parent folder is not searchable by others"

# ------------------------------------------------------------------ ports ---

read -r -a ports < <("$SYSTEM_PYTHON" - "${#SERVER_NAMES[@]}" <<'EOF'
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
EOF
)
((${#ports[@]} == ${#SERVER_NAMES[@]})) || die "could not pick free ports"
declare -A port
for i in "${!SERVER_NAMES[@]}"; do
    port[${SERVER_NAMES[$i]}]=${ports[$i]}
done

# launch NAME COMMAND... : runs COMMAND in its own session, in the
# background, logging to STATEDIR/NAME.log; records "PID STARTTIME".
launch() {
    local name=$1 pid
    shift
    setsid "$@" </dev/null >"$state/$name.log" 2>&1 &
    pid=$!
    printf '%s %s\n' "$pid" "$(proc_starttime "$pid" || true)" >"$state/pids/$name.pid"
}

# ----------------------------------------------------------------- vsftpd ---
# Logs in through PAM's "other" service (pam_unix against the system account).

mkdir -p "$state/vsftpd/empty"
chmod 755 "$state/vsftpd/empty"
cat >"$state/vsftpd/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=${port[vsftpd]}
background=NO
ftpd_banner=vsftpd test server ready.
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
pam_service_name=other
userlist_enable=NO
tcp_wrappers=NO
chroot_local_user=YES
allow_writeable_chroot=YES
local_root=$state/roots/vsftpd
secure_chroot_dir=$state/vsftpd/empty
nopriv_user=nobody
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
pasv_enable=YES
port_enable=YES
connect_from_port_20=NO
dirmessage_enable=NO
use_localtime=NO
max_clients=0
max_per_ip=0
syslog_enable=NO
xferlog_enable=YES
xferlog_std_format=NO
log_ftp_protocol=YES
vsftpd_log_file=$state/vsftpd/vsftpd.log
EOF
launch vsftpd "$VSFTPD_BIN" "$state/vsftpd/vsftpd.conf"

# -------------------------------------------------------------- pure-ftpd ---
# A virtual user in a puredb file, mapped to the account's uid/gid. The hash
# is written here: pure-pw's own is deliberately slow at every login.

mkdir -p "$state/pureftpd"
printf '%s:%s:%s:%s::%s/./::::::::::::\n' "$user" "$hash" "$uid" "$gid" "$state/roots/pureftpd" \
    >"$state/pureftpd/passwd"
chmod 600 "$state/pureftpd/passwd"
"$PUREPW_BIN" mkdb "$state/pureftpd/passwd.pdb" -f "$state/pureftpd/passwd" >/dev/null
launch pureftpd "$PUREFTPD_BIN" \
    -S "127.0.0.1,${port[pureftpd]}" \
    -l "puredb:$state/pureftpd/passwd.pdb" \
    -E -A -H \
    -u 1 \
    -c 100 -C 100 \
    -g "$state/pureftpd/pure-ftpd.pid" \
    -O "clf:$state/pureftpd/transfer.log" \
    -f none

# ---------------------------------------------------------------- proftpd ---
# Its own passwd/group files; sessions run as the account.

mkdir -p "$state/proftpd"
printf '%s:%s:%s:%s::%s:/usr/sbin/nologin\n' "$user" "$hash" "$uid" "$gid" "$state/roots/proftpd" \
    >"$state/proftpd/passwd"
printf '%s:x:%s:%s\n' "$user" "$gid" "$user" >"$state/proftpd/group"
chmod 600 "$state/proftpd/passwd" "$state/proftpd/group"
cat >"$state/proftpd/proftpd.conf" <<EOF
ServerName              "proftpd test server"
ServerIdent             on "proftpd test server ready."
ServerType              standalone
UseIPv6                 off
DefaultAddress          127.0.0.1
SocketBindTight         on
Port                    ${port[proftpd]}
MaxInstances            100
User                    $user
Group                   $user
Umask                   022
UseReverseDNS           off
WtmpLog                 off
RequireValidShell       off
AuthPAM                 off
AuthOrder               mod_auth_file.c
AuthUserFile            $state/proftpd/passwd
AuthGroupFile           $state/proftpd/group
DefaultRoot             ~
AllowOverwrite          on
AllowStoreRestart       on
AllowRetrieveRestart    on
PidFile                 $state/proftpd/proftpd.pid
ScoreboardFile          $state/proftpd/proftpd.scoreboard
DelayTable              $state/proftpd/proftpd.delay
SystemLog               $state/proftpd/system.log
TransferLog             $state/proftpd/xfer.log
<IfModule mod_ident.c>
  IdentLookups          off
</IfModule>
<IfModule mod_ctrls.c>
  ControlsEngine        off
</IfModule>
<IfModule mod_cap.c>
  CapabilitiesEngine    off
</IfModule>
EOF
launch proftpd "$PROFTPD_BIN" -n -q -c "$state/proftpd/proftpd.conf"

# -------------------------------------------------------------- pyftpdlib ---
# Runs as the account, so its files get the same owner as the others'.

FTP_PASS=$pass launch pyftpdlib setpriv --reuid="$uid" --regid="$gid" --clear-groups \
    "$SYSTEM_PYTHON" "$here/pyftpd_server.py" \
    --port "${port[pyftpdlib]}" --root "$state/roots/pyftpdlib" --user "$user"

# ------------------------------------------------------------ wait for 220 ---

# greets PORT: true when a server on 127.0.0.1:PORT sends a 220 greeting.
greets() {
    (
        exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
        IFS= read -r -t 2 -u 3 line || exit 1
        printf 'QUIT\r\n' >&3 || true
        [[ $line == 220* ]]
    ) 2>/dev/null
}

pending=("${SERVER_NAMES[@]}")
deadline=$(($(date +%s%N) + GREETING_TIMEOUT_S * 1000000000))
for ((round = 0; round < GREETING_TIMEOUT_S * 20; round++)); do
    still=()
    for name in "${pending[@]}"; do
        read -r pid _ <"$state/pids/$name.pid"
        proc_running "$pid" || die "$name exited at once (its log is below)"
        greets "${port[$name]}" || still+=("$name")
    done
    pending=("${still[@]}")
    ((${#pending[@]} == 0)) && break
    (($(date +%s%N) < deadline)) || break
    sleep 0.05
done
((${#pending[@]} == 0)) || die "no 220 greeting within ${GREETING_TIMEOUT_S}s from: ${pending[*]} (logs below)"

# ----------------------------------------------------------- servers.env ---

{
    echo "FTP_HOST=127.0.0.1"
    echo "FTP_USER=$user"
    echo "FTP_PASS=$pass"
    echo "FTP_UID=$uid"
    echo "FTP_GID=$gid"
    echo "FTP_SERVERS=$(IFS=,; echo "${SERVER_NAMES[*]}")"
    echo "FTP_STATE_DIR=$state"
    for name in "${SERVER_NAMES[@]}"; do
        echo "FTP_${name^^}_PORT=${port[$name]}"
    done
    for name in "${SERVER_NAMES[@]}"; do
        echo "FTP_ROOT_${name^^}=$state/roots/$name"
    done
} >"$state/servers.env.tmp"
chmod 644 "$state/servers.env.tmp"
mv "$state/servers.env.tmp" "$state/servers.env"

started=1
ms=$((($(date +%s%N) - t0) / 1000000))
note "started ${SERVER_NAMES[*]} on 127.0.0.1 in ${ms} ms (state in $state)"
