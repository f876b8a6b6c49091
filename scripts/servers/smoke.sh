#!/usr/bin/env bash
# smoke.sh: checks with curl that every server in servers.env works end to
# end: login, LIST/NLST, upload and download in passive and in active mode,
# append, resumed download, mkdir/rename/delete/rmdir. Compares the files on
# disk byte for byte. Run it through the wrapper:
#   scripts/servers/with-servers.sh scripts/servers/smoke.sh
set -euo pipefail

for var in FTP_HOST FTP_USER FTP_PASS FTP_UID FTP_SERVERS; do
    [[ -n ${!var:-} ]] || {
        echo "smoke.sh: $var is not set (run through with-servers.sh)" >&2
        exit 2
    }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c 300000 /dev/urandom >"$work/payload"
head -c 12345 /dev/urandom >"$work/tail"
cat "$work/payload" "$work/tail" >"$work/joined"
head -c 100000 "$work/payload" >"$work/half"

fail() {
    echo "smoke.sh: $server: $*" >&2
    exit 1
}

ftp() {
    curl --silent --show-error --fail --max-time 20 --user "$FTP_USER:$FTP_PASS" "$@"
}

same() { # same EXPECTED ACTUAL WHAT
    cmp -s "$1" "$2" || fail "$3: contents differ"
}

IFS=, read -r -a servers <<<"$FTP_SERVERS"
for server in "${servers[@]}"; do
    up=${server^^}
    port_var=FTP_${up}_PORT root_var=FTP_ROOT_${up}
    port=${!port_var:?} root=${!root_var:?}
    url=ftp://$FTP_HOST:$port
    dir=$root/memoire/quil

    ftp "$url/" >"$work/list" || fail "LIST /"
    grep -q memoire "$work/list" || fail "LIST / does not show memoire"

    for mode in passive active; do
        opts=()
        [[ $mode == active ]] && opts=(--ftp-port 127.0.0.1)
        ftp "${opts[@]}" -T "$work/payload" "$url/memoire/quil/$mode.bin" || fail "$mode STOR"
        same "$work/payload" "$dir/$mode.bin" "$mode STOR"
        [[ $(stat -c %u "$dir/$mode.bin") == "$FTP_UID" ]] || fail "$mode STOR: file not owned by the test account"
        ftp "${opts[@]}" -o "$work/back" "$url/memoire/quil/$mode.bin" || fail "$mode RETR"
        same "$work/payload" "$work/back" "$mode RETR"
    done

    # pure-ftpd's NLST also names "." and "..".
    ftp --list-only "$url/memoire/quil/" >"$work/nlst.raw" || fail "NLST"
    tr -d '\r' <"$work/nlst.raw" | sed 's#.*/##' | grep -vx '\.\.\{0,1\}' | sort >"$work/nlst" || true
    printf 'active.bin\npassive.bin\n' | cmp -s - "$work/nlst" || fail "NLST: $(tr '\n' ' ' <"$work/nlst")"

    ftp --append -T "$work/tail" "$url/memoire/quil/passive.bin" || fail "APPE"
    same "$work/joined" "$dir/passive.bin" "APPE"

    cp "$work/half" "$work/resumed"
    ftp -C - -o "$work/resumed" "$url/memoire/quil/active.bin" || fail "REST + RETR"
    same "$work/payload" "$work/resumed" "REST + RETR"

    ftp "$url/" -Q "MKD memoire/quil/sub" -Q "RNFR memoire/quil/active.bin" \
        -Q "RNTO memoire/quil/sub/moved.bin" >/dev/null || fail "MKD, RNFR/RNTO"
    same "$work/payload" "$dir/sub/moved.bin" "RNFR/RNTO"
    ftp "$url/" -Q "DELE memoire/quil/sub/moved.bin" -Q "RMD memoire/quil/sub" \
        -Q "DELE memoire/quil/passive.bin" >/dev/null || fail "DELE, RMD"
    [[ -z $(ls -A "$dir") ]] || fail "DELE/RMD left: $(ls -A "$dir")"

    echo "smoke.sh: $server on port $port: ok"
done
