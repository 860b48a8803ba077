#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the demo and CI need.
# Only missing packages are installed; nothing is asked.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev libqt5charts5-dev
    xvfb xauth x11-utils xdotool libx11-dev imagemagick fonts-dejavu-core
    socat python3-pymodbus python3-serial python3-serial-asyncio mbpoll libmodbus-dev
    python3-jsonschema python3-pandas groff-base poppler-utils
    clang-14 clang-format-14 libclang-rt-14-dev llvm-14
    appstream desktop-file-utils dpkg-dev file
    libmosquitto-dev mosquitto mosquitto-clients python3-paho-mqtt systemd openssl
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
