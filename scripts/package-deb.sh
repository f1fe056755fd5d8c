#!/usr/bin/env bash
# Builds the Debian package fernwise_<version>_amd64.deb into build-deb/ with
# Debian's own compiler and linker flags, and checks it as the archive
# would: the desktop entry, the AppStream metainfo, the release notes and
# changelog against the version, and lintian.
#   scripts/package-deb.sh [build-dir]      (default build-deb)
# Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}

bash scripts/install-deps.sh package >&2

# Hardened as Debian builds its packages: fortified C library calls, stack
# protector, full RELRO with immediate binding. CMake reads no CPPFLAGS, so
# the preprocessor's part goes with the compiler flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# Build type None: the flags above alone, as Debian's CMake builds use.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DFERNWISE_GUI=ON \
      -DFERNWISE_TESTS=OFF -DFERNWISE_BENCH=OFF "${launcher[@]}" >&2
cmake --build "$build" -j"$(nproc)" >&2
rm -f "$build"/fernwise_*.deb
(cd "$build" && cpack -G DEB >&2)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb="$build/fernwise_${version}_amd64.deb"
[[ -f $deb ]] || { echo "package: $deb was not made" >&2; exit 1; }

failed=0
fail() { echo "package: $*" >&2; failed=1; }

# The files as installed, checked where they land.
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
desktop-file-validate "$tree/usr/share/applications/fernwise.desktop" >&2 ||
  fail "the desktop entry does not validate"
metainfo=("$tree"/usr/share/metainfo/*.metainfo.xml)
appstreamcli validate --no-net "${metainfo[@]}" >&2 ||
  fail "the metainfo does not validate"

# A version bump needs its release notes and changelog entry written.
newest_release=$(grep -o -m1 '<release version="[^"]*"' "${metainfo[0]}" | cut -d'"' -f2)
[[ $newest_release == "$version" ]] ||
  fail "the metainfo's newest release is $newest_release, the program's version $version"
newest_change=$(zcat "$tree/usr/share/doc/fernwise/changelog.gz" | sed -n '1s/^fernwise (\([^)]*\)).*/\1/p')
[[ $newest_change == "$version" ]] ||
  fail "the changelog's newest entry is $newest_change, the program's version $version"

# Errors and warnings both fail the package: none is overridden. Its
# notes (I:) stay visible without failing it.
lintian --fail-on error,warning --display-info "$deb" >&2 ||
  fail "lintian found errors or warnings"

[[ $failed == 0 ]] || exit 1
echo "$deb"
