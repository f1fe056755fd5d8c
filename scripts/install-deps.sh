#!/usr/bin/env bash
# Installs the Debian packages a build needs, when they are missing.
#   scripts/install-deps.sh          what the program and its tests need
#   scripts/install-deps.sh windows  also the cross compiler and Wine
#   scripts/install-deps.sh package  also the Debian packaging tools, and the
#                                    window manager the package test closes
#                                    the installed program through
# The words may be combined: scripts/install-deps.sh windows package
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev googletest
          qt6-base-dev libgl-dev xvfb xauth x11-apps x11-utils imagemagick librsvg2-bin
          icoutils clang libclang-rt-14-dev rsync xdotool strace
          # the file systems of scripts/fs-images.sh
          dosfstools exfatprogs ntfs-3g btrfs-progs xfsprogs fusefat exfat-fuse
          fuse3)
for extra in "$@"; do
  case $extra in
    windows) packages+=(g++-mingw-w64-x86-64-posix wine64 wine zip) ;;
    package) packages+=(dpkg-dev file lintian desktop-file-utils
                        appstream openbox) ;;
    *) echo "install-deps.sh: unknown group $extra" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Run this as root (sudo $0 $*) to install them." >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
