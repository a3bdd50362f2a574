#!/usr/bin/env bash
# Installs every Debian package needed to build, run and test the downloader.
# Safe to run again: when everything is already installed it returns at once, without apt.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ pkg-config
    # the framework and the libraries it is built against
    juce-modules-source
    libcurl4-openssl-dev libssl-dev zlib1g-dev libpng-dev libjpeg-dev
    libfreetype-dev libfontconfig1-dev
    libx11-dev libxrandr-dev libxinerama-dev libxcursor-dev libxext-dev
    # the build links no browser (JUCE_WEB_BROWSER=0), but juce-modules-source depends on it anyway
    libgtk-3-dev
    # tests
    libgtest-dev libcpp-httplib-dev python3
    xvfb xauth xdotool x11-utils imagemagick
    nginx curl openssl
    # fuzzers and sanitizer builds
    clang libclang-rt-14-dev
)

# The folder chooser must stay the framework's own dialog: these two would replace it.
never=(zenity kdialog)

is_installed() {
    [[ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true)" == "installed" ]]
}

missing=()
for p in "${packages[@]}"; do
    is_installed "$p" || missing+=("$p")
done

warn_native_choosers() {
    for p in "${never[@]}"; do
        if is_installed "$p"; then
            echo "install-deps: warning: $p is installed; the folder chooser will use it instead of the framework's own dialog" >&2
        fi
    done
}

if [[ ${#missing[@]} -eq 0 ]]; then
    warn_native_choosers
    exit 0
fi

echo "install-deps: installing ${missing[*]}"

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
        echo "install-deps: not root and no sudo: install these packages first: ${missing[*]}" >&2
        exit 1
    fi
    sudo=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
apt_opts=(-q -y -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)

"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" update >/dev/null

# Recommendations are left out: the build and the tests need none of them, and leaving them
# out halves what a fresh machine downloads.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" install --no-install-recommends \
    "${missing[@]}" </dev/null

still_missing=()
for p in "${missing[@]}"; do
    is_installed "$p" || still_missing+=("$p")
done

if [[ ${#still_missing[@]} -ne 0 ]]; then
    echo "install-deps: still missing after apt-get: ${still_missing[*]}" >&2
    exit 1
fi

warn_native_choosers
