# Helpers of the install tests (sourced). Each test works in its own
# temporary directory, $tmp, removed on exit.
set -euo pipefail

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs a command quietly; shows its output when it fails.
quiet() {
  local log=$tmp/quiet.log
  local status=0
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { cat "$log" >&2; fail "$* exited $status"; }
}

# lay_out APPDIR TREE ENGINE: an installation directory TREE made of the
# installed programs of APPDIR (tarvelin, updater and their files) and ENGINE
# as libqir.so, plus a file of its own that tells versions apart.
lay_out() {
  local appdir=$1 tree=$2 engine=$3
  mkdir -p "$tree/defaults"
  cp -r "$appdir/." "$tree/"
  cp "$engine" "$tree/libqir.so"
  basename "$engine" >"$tree/defaults/engine.txt"
  cmp -s "$tree/dependentlibs.list" "$appdir/dependentlibs.list"
}

# expect_engine TREE ENGINE_VERSION PRODUCT_VERSION: starts TREE/tarvelin
# and checks what the engine reports.
expect_engine() {
  local tree=$1 engine=$2 product=$3 out status=0
  out=$(env -u DISPLAY -u QIR_APP_FILE -u LD_PRELOAD "$tree/tarvelin" --new-window example.org 2>&1) ||
    status=$?
  [ "$status" -eq 0 ] || { echo "$out" >&2; fail "$tree/tarvelin exited $status"; }
  local line
  for line in "[engine $engine] engine version $engine initialised" \
              "[engine $engine] started in browser mode (application \"browser\")" \
              "[engine $engine]   [2] example.org" \
              "[engine $engine] engine terminated"; do
    grep -qxF -- "$line" <<<"$out" || { echo "$out" >&2; fail "$tree: no line '$line'"; }
  done
  line="[engine $engine] application data: Tarvelin $product by Tarvelin, build "
  grep -qF -- "$line" <<<"$out" || { echo "$out" >&2; fail "$tree: no line '$line...'"; }
}

# update_pair BIN OLD NEW: makes the update OLD -> NEW with BIN/make-update
# (which must find BIN/upq and BIN/qbdiff on its own: PATH holds only the
# system's directories), applies it to a copy of OLD with OLD's updater and
# checks that the copy equals NEW.
update_pair() {
  local bin=$1 old=$2 new=$3 patch copy work
  patch=$(mktemp -d -p "$tmp" patch.XXXX)
  work=$(mktemp -d -p "$tmp" work.XXXX)
  copy=$(mktemp -u -p "$tmp" updated.XXXX)
  quiet env PATH=/usr/bin:/bin "$bin/make-update" "$old" "$new" "$patch/update.upq"
  local listing
  listing=$("$bin/upq" -t "$patch/update.upq") || fail "upq cannot list the update"
  grep -q 'updatev3.manifest' <<<"$listing" || fail "the update has no manifest: $listing"
  cp -a "$old" "$copy"
  quiet env -u DISPLAY "$copy/updater" "$patch" "$copy" "$work"
  [ "$(cat "$patch/update.status")" = succeeded ] ||
    fail "update status '$(cat "$patch/update.status")': $(cat "$patch/update.log")"
  diff -r "$new" "$copy" >/dev/null || fail "the updated copy of $old differs from $new"
  echo "$copy"
}
