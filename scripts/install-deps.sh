#!/usr/bin/env bash
# Installs the Debian 12 packages a purpose needs: "run" (build and run the application) or
# "test" (also everything the tests start). Quick when everything is already installed.
set -euo pipefail

build=(cmake ninja-build g++ pkg-config libsqlite3-dev libsystemd-dev
       libspeechd-dev libicu-dev qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
       libgl-dev libfontconfig-dev)
run=(speech-dispatcher speech-dispatcher-espeak-ng espeak-ng libao4 qt6-qpa-plugins xvfb xauth)
test=(libgtest-dev libbenchmark-dev dbus gnome-keyring libsecret-tools xvfb xauth
      at-spi2-core python3-pyatspi imagemagick sqlite3 dconf-service libdconf-dev dconf-cli
      clang libclang-rt-14-dev desktop-file-utils appstream
      xdotool x11-utils orca weston qt6-wayland)

case "${1:-}" in
run) wanted=("${build[@]}" "${run[@]}") ;;
test) wanted=("${build[@]}" "${run[@]}" "${test[@]}") ;;
*) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
    [[ "$status" == ii* ]] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
