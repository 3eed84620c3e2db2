#!/usr/bin/env bash
# The main job of `make demo`: lays out an installation directory under the
# build tree and starts the browser from it.
#
# usage: examples/demo.sh BUILD_DIR
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
demo=$build/demo
install=$demo/install

step() { printf '\n== Step %s: %s\n' "$1" "$2"; }

for f in "$build/launcher/tarvelin" "$build/examples/v1/libqir.so"; do
  if [ ! -e "$f" ]; then
    echo "demo: $f is missing; build first (make demo does)" >&2
    exit 1
  fi
done

step 1 "lay out an installation directory (engine version 1) in $install"
rm -rf "$demo"
mkdir -p "$install"
cp "$build/launcher/tarvelin" "$install/"
cp "$build/examples/v1/libqir.so" "$install/"
cat > "$install/dependentlibs.list" <<'LIST'
# Libraries tarvelin loads, in order; the engine library last.
libqir.so
LIST
ls -l "$install"

step 2 "start the browser: $install/tarvelin --new-window example.org"
status=0
"$install/tarvelin" --new-window example.org || status=$?
echo "tarvelin exited with status $status"
if [ "$status" -ne 0 ]; then
  echo "demo: failed" >&2
  exit 1
fi

# The update flow: version 1 with the updater, updated to version 2.
if [ -x "$build/updater/updater" ] && [ -x "$build/tools/upq" ]; then
  "$(dirname "$0")/update-demo.sh" "$build" 3
else
  echo
  echo "demo: the updater or upq is not built; the update flow is skipped"
fi

echo
echo "demo: done"
