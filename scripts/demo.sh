# The local demo of the upload tool, shared by scripts/run and scripts/screenshot: a pyftpdlib server on
# 127.0.0.1 with a throwaway account and the folder memoire/quil holding a few sample files, and the
# window built to use it.
# shellcheck shell=bash

# The demo account has the shape of the organisation's real ones; it exists only in the demo server.
DEMO_USER=d20261211
DEMO_PASS=demo2026
# What running the window needs beyond building it: the demo server, fonts near the layout's, and Qt's
# platform plugins for a desktop.
RUN_PACKAGES=(python3 python3-pyftpdlib fonts-liberation fonts-dejavu-core qt6-qpa-plugins)

demo_free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts the demo server; sets DEMO_PORT, DEMO_ROOT and DEMO_PID. demo_stop undoes it.
demo_start() {
    DEMO_ROOT=$(mktemp -d "${TMPDIR:-/tmp}/envoi-demo.XXXXXX")
    local folder=$DEMO_ROOT/memoire/quil
    mkdir -p "$folder"
    printf 'Bienvenue sur le serveur de d\xc3\xa9monstration.\n' >"$folder/Bienvenue.txt"
    printf 'Compte rendu de la r\xc3\xa9union du 3 d\xc3\xa9cembre.\n' >"$folder/compte-rendu r\xc3\xa9union.txt"
    cp "$root/app/logo.bmp" "$folder/logo.bmp"
    DEMO_PORT=$(demo_free_port)
    # Debian's own Python: the one that python3-pyftpdlib installs into.
    FTP_PASS=$DEMO_PASS /usr/bin/python3 "$root/scripts/servers/pyftpd_server.py" \
        --port "$DEMO_PORT" --root "$DEMO_ROOT" --user "$DEMO_USER" 2>"$DEMO_ROOT.log" &
    DEMO_PID=$!
    local i
    for i in $(seq 1 50); do
        if python3 -c "import socket; socket.create_connection(('127.0.0.1', $DEMO_PORT), 1).close()" 2>/dev/null; then
            echo "demo FTP server on 127.0.0.1:$DEMO_PORT (account $DEMO_USER, folder memoire/quil)" >&2
            return 0
        fi
        kill -0 "$DEMO_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "the demo FTP server did not start; its log:" >&2
    cat "$DEMO_ROOT.log" >&2
    return 1
}

demo_stop() {
    if [[ -n ${DEMO_PID:-} ]]; then
        kill "$DEMO_PID" 2>/dev/null || true
        wait "$DEMO_PID" 2>/dev/null || true
    fi
    [[ -n ${DEMO_ROOT:-} ]] && rm -rf "$DEMO_ROOT" "$DEMO_ROOT.log"
    DEMO_PID= DEMO_ROOT=
}

# Builds envoi-ftp into $1 with the given host, port, account and password.
build_window() {
    local build=$1 host=$2 port=$3 user=$4 pass=$5
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENVOI_BUILD_TESTS=OFF \
        -DENVOI_BUILD_BENCH=OFF -DENVOI_FTP_HOST="$host" -DENVOI_FTP_PORT="$port" \
        -DENVOI_FTP_USER="$user" -DENVOI_FTP_PASSWORD="$pass" >/dev/null
    cmake --build "$build" -j "$(nproc)" --target envoi-ftp >/dev/null
}
