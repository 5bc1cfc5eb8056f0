#!/usr/bin/env bash
# Builds the Debian packages from a copy of this tree and checks them with lintian: installs the
# build dependencies (apt-get build-dep), runs dpkg-buildpackage -us -uc -b (which runs the tests
# that need no session services), then lintian on the result. The packages end up in build/debs/.
# Usage: scripts/build-debs.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/build/debs"

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
tools=(dpkg-dev debhelper lintian)
missing=()
for package in "${tools[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
    [[ "$status" == ii* ]] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get build-dep -y -qq "$top" >/dev/null

# The package's version and the project's must agree.
package_version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
project_version=$(sed -n 's/^project(Virelon VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
if [ "${package_version%%-*}" != "$project_version" ]; then
    echo "debian/changelog says $package_version, CMakeLists.txt $project_version" >&2
    exit 1
fi

# A clean copy, so that neither the build folders nor debhelper's files touch the tree.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/virelon"
tar -C "$top" --exclude=./build --exclude=./.git --exclude='./obj-*' -cf - . |
    tar -C "$work/virelon" -xf -
(cd "$work/virelon" &&
    DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b)

rm -rf "$out"
mkdir -p "$out"
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out/"
changes=$(ls "$out"/*.changes)
echo "== lintian" >&2
# Errors fail the script; every warning left is explained in docs/packaging.md.
lintian --fail-on error --display-info --pedantic "$changes"
echo "Packages in $out:" >&2
ls "$out"/*.deb >&2
