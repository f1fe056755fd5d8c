#!/bin/sh
# Opens the window in a fresh demo folder, examples/demo/: press the button
# to see a real backup of examples/demo/source into examples/demo/backup and
# its completion report, with a listing of the source tree in tree.txt.
# Installs the Debian packages it needs when they are missing (as root).
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${FERNWISE_BUILD_DIR:-$repo/build}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] &&
   [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "The demo opens a window, but there is no graphical display here" >&2
  echo "(DISPLAY and WAYLAND_DISPLAY are unset). On a desktop session run it" >&2
  echo "again; on a server try:  xvfb-run scripts/demo.sh" >&2
  exit 2
fi

missing=""
for package in cmake ninja-build g++ qt6-base-dev libgtest-dev libgmock-dev; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages:$missing; install them as root:" >&2
    echo "  apt-get install$missing" >&2
    exit 1
  fi
  apt-get update && apt-get install -y $missing
fi

cmake -S "$repo" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target fernwise

demo="$repo/examples/demo"
rm -rf "$demo"
mkdir -p "$demo/backup"
cp -R "$repo/examples/demo-source" "$demo/source"
cat > "$demo/Setup.ini" <<SCRIPT
MODE, DUPLEX-DESTRUCTIVE
BACKUP, "$demo/source", "$demo/backup"
STOREFOLDERTREE, "$demo/source", "$demo/tree.txt"
SCRIPT

echo "Demo folder: $demo"
echo "Press \"Begin Backup Process\", then look at backup/ and tree.txt there."
cd "$demo"
exec "$build/app/fernwise"
