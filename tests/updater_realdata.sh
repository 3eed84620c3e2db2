#!/usr/bin/env bash
# An update between two releases of a real, many-file npm package, made with
# make-update and applied by the updater normally, staged and as a complete
# update; each result must equal the new release byte for byte, modes
# included. Skips (exit 77) when the releases cannot be fetched.
# usage: updater_realdata.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
updater=$build/updater/updater
make_update=$build/tools/make-update
package=lodash old_version=4.17.20 new_version=4.17.21

if ! dirs=$("$here/fetch-npm-pair.sh" "$here/cache" $package $old_version $new_version); then
  echo "SKIP: $package $old_version and $new_version cannot be fetched (offline?)"
  exit 77
fi
old=$(sed -n 1p <<<"$dirs") new=$(sed -n 2p <<<"$dirs")

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Content and permission bits of every file and directory of a tree.
tree_listing() { (cd "$1" && find . -printf '%y %m %p\n' | LC_ALL=C sort); }
same_tree() {
  diff -r "$1" "$2" >/dev/null && diff <(tree_listing "$1") <(tree_listing "$2") >/dev/null
}
fail() { echo "FAIL: $*"; exit 1; }

"$make_update" "$old" "$new" "$tmp/partial/update.upq"
"$make_update" --complete "$old" "$new" "$tmp/complete/update.upq"

# Normal update.
cp -a "$old" "$tmp/inst"
"$updater" "$tmp/partial" "$tmp/inst" "$tmp/work" || fail "normal update exited $?"
[ "$(cat "$tmp/partial/update.status")" = succeeded ] || fail "normal update status"
same_tree "$new" "$tmp/inst" || fail "normal update result differs from $new"
echo "normal update: $(find "$tmp/inst" -type f | wc -l) files equal to $package $new_version"

# Staged update into the installation's "updated" directory.
cp -a "$old" "$tmp/inst2"
"$updater" "$tmp/partial" "$tmp/inst2" "$tmp/inst2/updated" -1 || fail "staged update exited $?"
[ "$(cat "$tmp/partial/update.status")" = applied ] || fail "staged update status"
same_tree "$new" "$tmp/inst2/updated" || fail "staged update result differs from $new"
rm -rf "$tmp/inst2/updated"
same_tree "$old" "$tmp/inst2" || fail "staged update changed the installation"
echo "staged update: working copy equal to $package $new_version, installation untouched"

# Complete update: the new release plus its generated precomplete.
cp -a "$old" "$tmp/inst3"
"$updater" "$tmp/complete" "$tmp/inst3" "$tmp/work" || fail "complete update exited $?"
[ -f "$tmp/inst3/precomplete" ] || fail "complete update shipped no precomplete"
rm "$tmp/inst3/precomplete"
same_tree "$new" "$tmp/inst3" || fail "complete update result differs from $new"
echo "complete update: equal to $package $new_version"
echo "1 passed, 0 failed"
