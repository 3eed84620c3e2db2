#!/usr/bin/env bash
# The update part of the demo: installs version 1 (tarvelin, the example
# engine, the updater with its strings and icon), builds version 2, makes the
# update with make-update, puts it where the engine looks for downloads and
# starts tarvelin. The engine sees the pending update, starts the updater and
# exits; the updater waits for it, applies the update (with its progress
# window when a display is available), writes update.status and update.log,
# and starts tarvelin again, which now runs engine version 2.
#
# usage: examples/update-demo.sh BUILD_DIR [FIRST_STEP_NUMBER]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
n=${2:-1}
demo=$build/demo/update
install=$demo/install

step() { printf '\n== Step %s: %s\n' "$n" "$1"; n=$((n + 1)); }
indent() { sed 's/^/   /'; }

for f in launcher/tarvelin examples/v1/libqir.so examples/v2/libqir.so updater/updater \
         tools/make-update tools/upq tools/qbdiff; do
  if [ ! -e "$build/$f" ]; then
    echo "update demo: $build/$f is missing; build first (make demo does)" >&2
    exit 1
  fi
done

# An installation tree of the given engine version.
lay_out() {
  local tree=$1 version=$2
  mkdir -p "$tree/defaults"
  cp "$build/launcher/tarvelin" "$build/updater/updater" "$tree/"
  cp "$build/examples/v$version/libqir.so" "$tree/"
  cp "$here/updater.ini" "$here/updater.png" "$tree/"
  printf '# Libraries tarvelin loads, in order; the engine library last.\nlibqir.so\n' \
    >"$tree/dependentlibs.list"
  printf 'pref("browser.version", "%s.0");\npref("browser.startup.page", 1);\n' "$version" \
    >"$tree/defaults/prefs.js"
  if [ "$version" = 1 ]; then
    echo "a file that version 2 no longer ships" >"$tree/defaults/legacy.txt"
  else
    echo "Welcome to version 2." >"$tree/defaults/welcome.txt"
  fi
}

rm -rf "$demo"
step "lay out version 1 in $install and version 2 beside it"
lay_out "$install" 1
lay_out "$demo/v2" 2
(cd "$install" && find . -type f | LC_ALL=C sort) | indent

step "make the update from version 1 to version 2 with make-update"
"$build/tools/make-update" -v "$install" "$demo/v2" "$demo/update.upq" | indent

step "\"download\" it: $install/updates/0/update.upq, update.status \"pending\""
mkdir -p "$install/updates/0"
cp "$demo/update.upq" "$install/updates/0/"
printf pending >"$install/updates/0/update.status"
ls -l "$install/updates/0" | indent

if [ -n "${DISPLAY:-}" ]; then
  window="the progress window shows on $DISPLAY if the update takes over half a second"
else
  window="no display: the updater runs headless"
fi
step "start tarvelin; the engine starts the updater and exits ($window)"
echo "(the updater waits until this tarvelin has exited, applies the update, writes"
echo " update.status and update.log and starts tarvelin again: the [engine 2.0] lines)"
# The pipe stays open until the last process writing to it is gone: the
# engine, the updater it starts and the tarvelin the updater starts again.
"$install/tarvelin" --new-window example.org 2>&1 | indent

step "what the updater left in $install/updates/0"
echo "update.status: \"$(cat "$install/updates/0/update.status")\""
echo "update.log:"
indent <"$install/updates/0/update.log"
echo "installed files:"
(cd "$install" && find . -path ./updates -prune -o -type f -print | LC_ALL=C sort) | indent

if [ "$(cat "$install/updates/0/update.status")" != succeeded ] ||
   ! cmp -s "$install/libqir.so" "$build/examples/v2/libqir.so"; then
  echo "update demo: the update was not applied" >&2
  exit 1
fi
echo
echo "update demo: version 1 was updated to version 2 and tarvelin was started again"
