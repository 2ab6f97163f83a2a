#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Tirvan need.
# Idempotent: when everything is present it changes nothing and needs no network.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libevent-dev libsqlite3-dev sqlite3 libudt-dev libminiupnpc-dev
  libjpeg62-turbo-dev libcurl4-openssl-dev libjsoncpp-dev libcrypt-dev libssl-dev openssl
  qt6-base-dev fonts-noto-cjk fonts-liberation
  libgtest-dev
  clang-14 libclang-rt-14-dev
  xvfb trayer xdotool x11-utils imagemagick
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  sudo=sudo
else
  sudo=
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
