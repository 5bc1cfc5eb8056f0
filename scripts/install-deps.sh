#!/usr/bin/env bash
# Installs the Debian 12 packages a purpose needs: "run" (build and run the application) or
# "test" (also everything the tests start). Quick when everything is already installed.
set -euo pipefail

# What the build needs is debian/control's Build-Depends (the package build's debhelper left out)
# and, for a build from the tree, the compiler and Ninja; those marked <!nocheck> are the tests'.
# Prints the names: the build's, or (nocheck) the tests'.
build_depends() {
    awk '/^Build-Depends:/ { field = 1; sub(/^Build-Depends:/, ""); print; next }
         field && /^[^ \t]/ { field = 0 }
         field' "$(dirname "$0")/../debian/control" |
        tr ',' '\n' |
        awk -v tests="$1" 'NF && $1 != "debhelper-compat" && /<!nocheck>/ == (tests == "nocheck") {
                               print $1 }'
}
mapfile -t build < <(build_depends build)
build+=(ninja-build g++)
mapfile -t checks < <(build_depends nocheck)
run=(speech-dispatcher speech-dispatcher-espeak-ng espeak-ng libao4 qt6-qpa-plugins xvfb xauth)
test=("${checks[@]}" dbus gnome-keyring libsecret-tools xvfb xauth
      at-spi2-core python3-pyatspi imagemagick sqlite3 dconf-service libdconf-dev dconf-cli
      clang libclang-rt-14-dev
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
