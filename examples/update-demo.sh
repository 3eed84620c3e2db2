#!/usr/bin/env bash
# The update part of the demo: installs version 1 (tarvelin, the example
# engine, the updater with its strings and icon), builds version 2, makes the
# update with make-update, puts it where the engine looks for downloads and
# starts tarvelin. The engine sees the pending update, starts the updater and
# exits; the updater waits for it, applies the update (with its progress
# window when a display is available), writes update.status and update.log,
# and starts tarvelin again, which now runs engine version 2. The update is
# signed: version 1 ships update-keys.pem, the public half of a key pair made
# here, and a copy of the update with one byte changed is then refused.
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
  cp "$demo/keys/update-keys.pem" "$tree/"
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
step "make the publisher's key pair in $demo/keys"
mkdir -p "$demo/keys"
openssl genpkey -algorithm ed25519 -out "$demo/keys/release.key"
openssl pkey -in "$demo/keys/release.key" -pubout -out "$demo/keys/update-keys.pem"
echo "openssl genpkey -algorithm ed25519 -out release.key" | indent
echo "openssl pkey -in release.key -pubout -out update-keys.pem" | indent
indent <"$demo/keys/update-keys.pem"

step "lay out version 1 (with update-keys.pem) in $install and version 2 beside it"
lay_out "$install" 1
lay_out "$demo/v2" 2
(cd "$install" && find . -type f | LC_ALL=C sort) | indent

step "make the signed update from version 1 to version 2 with make-update --sign"
"$build/tools/make-update" -v --sign "$demo/keys/release.key" "$install" "$demo/v2" \
  "$demo/update.upq" | indent
"$build/tools/upq" --verify "$demo/keys/update-keys.pem" "$demo/update.upq" | indent

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

# The refused update: the same archive with one byte flipped, applied by the
# updater directly (headless) from a patch directory of its own.
tampered=$demo/tampered
step "flip one byte of the update and hand it to the updater: it must be refused"
mkdir -p "$tampered"
cp "$demo/update.upq" "$tampered/update.upq"
size=$(stat -c %s "$tampered/update.upq")
python3 - "$tampered/update.upq" "$((size / 2))" <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(int(sys.argv[2]))
    byte = f.read(1)[0]
    f.seek(int(sys.argv[2]))
    f.write(bytes([byte ^ 0x01]))
PY
echo "byte $((size / 2)) of $size flipped" | indent
"$build/tools/upq" --verify "$demo/keys/update-keys.pem" "$tampered/update.upq" 2>&1 | indent || true
snapshot() { (cd "$install" && find . -path ./updates -prune -o -type f -print0 | LC_ALL=C sort -z |
  xargs -0 sha256sum); }
before=$(snapshot)
env -u DISPLAY -u WAYLAND_DISPLAY "$install/updater" "$tampered" "$install" "$install" ||
  true
echo "update.status: \"$(cat "$tampered/update.status")\""
echo "update.log:"
indent <"$tampered/update.log"
if [ "$(cat "$tampered/update.status")" != "failed: 95" ] || [ "$(snapshot)" != "$before" ]; then
  echo "update demo: the tampered update was not refused cleanly" >&2
  exit 1
fi
echo "the installation is untouched: every file has the checksum it had before"

echo
echo "update demo: version 1 was updated to version 2 by a signed update and tarvelin was"
echo "started again; a copy of the update with one byte changed was refused"
