#!/usr/bin/env bash
# Downloads and unpacks Debian's GSL source package into $1 (a folder under build/), once. Uses a
# private apt source list and package lists, so the system's sources are left as they are.
set -euo pipefail
cache=$1
[ -f "$cache/source/ode-initval/rk4.c" ] && exit 0

mkdir -p "$cache/apt/lists/partial" "$cache/download"
# The Debian mirror this machine already uses, with source packages enabled.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
  grep -E '^(URIs:|deb )' |
  grep -oE 'https?://[^ ]*/debian/?( |$)' | tr -d ' ' | head -n1 || true)
mirror=${mirror:-http://deb.debian.org/debian}
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/} bookworm main" \
  >"$cache/apt/sources.list"
apt_options=(-o "Dir::Etc::sourcelist=$cache/apt/sources.list" -o Dir::Etc::sourceparts=-
  -o "Dir::State::Lists=$cache/apt/lists" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get "${apt_options[@]}" update -qq
(cd "$cache/download" && apt-get "${apt_options[@]}" source --download-only -qq gsl)

rm -rf "$cache/unpack" && mkdir -p "$cache/unpack"
tar -xf "$(ls "$cache"/download/gsl_*.orig.tar.* | head -n1)" -C "$cache/unpack"
rm -rf "$cache/source"
mv "$cache/unpack"/* "$cache/source"
