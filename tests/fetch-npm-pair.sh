#!/usr/bin/env bash
# fetch-npm-pair.sh CACHE PACKAGE VERSION...
# Fetches each version of an npm package with `npm pack` into CACHE (once)
# and unpacks it to CACHE/PACKAGE-VERSION/package. Prints the unpacked
# directories, one a line. Exits 2 when a version cannot be fetched (offline).
set -euo pipefail
cache=$1 package=$2
shift 2
mkdir -p "$cache"
for version in "$@"; do
  dir="$cache/$package-$version"
  mkdir -p "$(dirname "$dir")"  # a scoped package (@scope/name) lives one level down
  if [ ! -d "$dir/package" ]; then
    tarball="$cache/$package-$version.tgz"
    if [ ! -f "$tarball" ]; then
      tmp=$(mktemp -d "$cache/.fetch.XXXXXX")
      if ! (cd "$tmp" && timeout 120 npm pack --silent "$package@$version" >/dev/null 2>&1); then
        rm -rf "$tmp"
        echo "fetch-npm-pair: cannot fetch $package@$version with npm pack (offline?)" >&2
        exit 2
      fi
      mv "$tmp"/*.tgz "$tarball"
      rm -rf "$tmp"
    fi
    rm -rf "$dir.tmp" && mkdir -p "$dir.tmp"
    tar -xzf "$tarball" -C "$dir.tmp"
    # Archives from the registry may carry odd modes; make the tree ours.
    chmod -R u+rwX,go+rX "$dir.tmp"
    mv "$dir.tmp" "$dir"
  fi
  echo "$dir/package"
done
