#!/bin/sh
# Opens the window in a fresh demo folder, examples/demo/: press the button
# to see a real backup of examples/demo/source into examples/demo/backup and
# its completion report, with a listing of the source tree in tree.txt.
# Installs the Debian packages the build needs when they are missing (as
# root, through scripts/install-deps.sh).
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${FERNWISE_BUILD_DIR:-$repo/build}

bash "$repo/scripts/install-deps.sh"

cmake -S "$repo" -B "$build" -G Ninja -DFERNWISE_GUI=ON >/dev/null
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

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] &&
   [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "Built, and the demo job is ready in $demo; but the window needs a" >&2
  echo "graphical display and there is none here" >&2
  echo "(DISPLAY and WAYLAND_DISPLAY are unset). Run it from a desktop session;" >&2
  echo "on a machine without a screen, a virtual one shows that it starts:" >&2
  echo "  xvfb-run scripts/demo.sh" >&2
  exit 2
fi
echo "Demo folder: $demo"
echo "Press \"Begin Backup Process\", then look at backup/ and tree.txt there."
cd "$demo"
exec "$build/app/fernwise"
