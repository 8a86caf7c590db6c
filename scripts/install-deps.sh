#!/usr/bin/env bash
# Installs the Debian packages this project needs, only those that are missing.
set -euo pipefail

packages=(g++ make cmake pkg-config
  libgsl-dev libglut-dev libglu1-mesa-dev libgl-dev libtomlplusplus-dev libcairo2-dev ffmpeg
  libgtest-dev libbenchmark-dev libcli11-dev libsundials-dev
  python3-dev python3-numpy python3-pytest pybind11-dev python3-distributed python3-matplotlib python3-scipy python3-tqdm
  xvfb xdotool x11-apps imagemagick
  emscripten chromium)
# The page test runs on Node.js and npm: Debian's, unless the machine already has its own.
command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update
$sudo apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
