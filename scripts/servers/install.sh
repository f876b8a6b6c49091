#!/usr/bin/env bash
# Installs what the local FTP test servers need and is not there yet:
#   - vsftpd, pure-ftpd and proftpd-core, unpacked into the cache described
#     in common.sh (see there why apt does not install them);
#   - the library packages those binaries link against;
#   - python3-pyftpdlib, openssl (password hashes) and curl, with apt.
# Runs as root or, for the apt parts, through sudo. Does nothing (and does
# not touch the network) when everything is already in place.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=common.sh
. "$here/common.sh"
# shellcheck source=../lib.sh
. "$here/../lib.sh"

export DEBIAN_FRONTEND=noninteractive

apt_updated=0
apt_update_once() {
    if ((apt_updated == 0)); then
        note "apt-get update"
        as_root apt-get -o DPkg::Lock::Timeout=300 update -q >/dev/null
        apt_updated=1
    fi
}

# Library packages named in a .deb's Depends field (first alternative only).
lib_depends() {
    dpkg-deb -f "$1" Depends | tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/:any//' |
        tr -d ' ' | grep -E '^lib' || true
}

# 1. The three servers, unpacked into the cache.
mkdir -p "$FTP_SERVERS_CACHE/debs" "$FTP_SERVERS_ROOTFS"
for pkg in "${SERVER_DEBS[@]}"; do
    stamp=$FTP_SERVERS_CACHE/$pkg.libdeps
    [[ -s $stamp ]] && continue
    apt_update_once
    rm -f "$FTP_SERVERS_CACHE/debs/${pkg}_"*.deb
    note "downloading $pkg"
    (cd "$FTP_SERVERS_CACHE/debs" && apt-get -q -o APT::Sandbox::User="$(id -un)" download "$pkg" >/dev/null)
    debs=("$FTP_SERVERS_CACHE/debs/${pkg}_"*.deb)
    [[ -f ${debs[0]} ]] || die "apt-get download $pkg produced no .deb"
    dpkg-deb -x "${debs[0]}" "$FTP_SERVERS_ROOTFS"
    # Written last: its presence means the unpacking finished.
    { lib_depends "${debs[0]}"; echo "# $(basename "${debs[0]}")"; } >"$stamp.tmp"
    mv "$stamp.tmp" "$stamp"
done

# 2. Packages from apt: the servers' libraries and the rest.
wanted=(python3-pyftpdlib openssl curl)
for pkg in "${SERVER_DEBS[@]}"; do
    mapfile -t -O "${#wanted[@]}" wanted < <(grep -v '^#' "$FTP_SERVERS_CACHE/$pkg.libdeps")
done
missing=()
for pkg in "${wanted[@]}"; do
    installed "$pkg" || missing+=("$pkg")
done
if ((${#missing[@]})); then
    apt_update_once
    note "apt-get install ${missing[*]}"
    as_root apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

# 3. Check the result: every binary finds its libraries, pyftpdlib imports.
for bin in "${SERVER_BINS[@]}"; do
    [[ -x $bin ]] || die "missing $bin after unpacking; remove $FTP_SERVERS_CACHE and retry"
    if ldd "$bin" | grep -q 'not found'; then
        ldd "$bin" | grep 'not found' >&2
        die "$bin lacks shared libraries"
    fi
done
"$SYSTEM_PYTHON" -c 'import pyftpdlib' 2>/dev/null || die "$SYSTEM_PYTHON cannot import pyftpdlib"
note "FTP test servers ready in $FTP_SERVERS_CACHE"
