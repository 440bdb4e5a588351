#!/usr/bin/env bash
# Installs what the build, the tests and the fixture makers need. Safe to run again: it only
# installs packages that are missing. Pass "fuzz" to add the clang toolchain for `make fuzz`, or
# "bench" to add what `make bench` measures with (GNU time, strace, the peer fatcat) and fills images
# with (openssl). librsvg2-bin draws the PNG icons; desktop-file-utils and mandoc check what is
# installed; dpkg-dev and file let `make package` find the libraries the .deb depends on.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config make python3
  libgtest-dev libcli11-dev nlohmann-json3-dev libfmt-dev
  dosfstools mtools sleuthkit ntfs-3g fdisk exfatprogs
  qt6-base-dev qt6-svg-dev libqt6svg6 fonts-noto-cjk dbus-daemon qt6-translations-l10n
  librsvg2-bin gzip desktop-file-utils mandoc dpkg-dev file
)
if [ "${1:-}" = "fuzz" ]; then
  packages+=(clang-14 libclang-rt-14-dev)
elif [ "${1:-}" = "bench" ]; then
  packages+=(time strace openssl fatcat)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}" >&2
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
