# Shared helpers of the project's scripts: root-or-sudo and installing missing Debian packages.
# shellcheck shell=bash

as_root() {
    if ((EUID == 0)); then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo -- env DEBIAN_FRONTEND=noninteractive "$@"
    else
        echo "need root (or sudo) to run: $*" >&2
        return 1
    fi
}

installed() {
    [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) == "ii " ]]
}

# Installs those of the given Debian packages that are missing (apt-get update first, once).
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        installed "$p" || missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return 0
    echo "installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get -o DPkg::Lock::Timeout=300 update -q >/dev/null
    as_root apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# What building the project needs.
BUILD_PACKAGES=(g++ cmake make qt6-base-dev libgtest-dev pkg-config libxcb1-dev)
# What the fuzz build needs: clang, and the clang runtime that holds libFuzzer and the sanitizers.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# What the window's tests need beyond building: fonts near the window's layout (Qt's offscreen platform
# draws with them).
GUI_TEST_PACKAGES=(fonts-liberation fonts-dejavu-core)
