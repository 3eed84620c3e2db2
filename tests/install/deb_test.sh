#!/usr/bin/env bash
# The packages: CPack makes the .deb and the .tar.xz into a temporary
# directory; the .deb's control fields and paths are checked with dpkg-deb
# -I and -c, the .tar.xz must hold the same files, and the .deb extracted
# with dpkg-deb -x into a temporary root runs: tarvelin with the example
# engine, make-update, upq and the updater on a small pair. Nothing is ever
# installed on the machine. Skips (exit 77) without the Debian tools.
# usage: deb_test.sh BUILD_DIR PRODUCT_VERSION
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=$(cd "$1" && pwd)
version=$2

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is missing (scripts/install-deps)"; exit 77; }
done

quiet cpack --config "$build/CPackConfig.cmake" -G "DEB;TXZ" -B "$tmp/packages"
arch=$(dpkg --print-architecture)
deb=$tmp/packages/tarvelin_${version}_$arch.deb
txz=$tmp/packages/tarvelin-$version-Linux.tar.xz
[ -f "$deb" ] || fail "no $deb: $(ls "$tmp/packages")"
[ -f "$txz" ] || fail "no $txz: $(ls "$tmp/packages")"

# Control fields: name, the product version, dependencies found by
# dpkg-shlibdeps (C and C++ libraries, GTK for the updater) and python3.
info=$(dpkg-deb -I "$deb")
field() { sed -n "s/^ $1: //p" <<<"$info"; }
[ "$(field Package)" = tarvelin ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
for dependency in python3 libc6 libstdc++6 libgtk-3-0 liblzma5; do
  grep -qxF "$dependency" <<<"$names" || fail "Depends lacks $dependency: $depends"
done
echo "Depends: $depends"

# Paths: everything under /usr, the programs executable.
contents=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ {print $6}' <<<"$contents" | LC_ALL=C sort)
if grep -v '^\./usr/' <<<"$files"; then fail "files outside /usr"; fi
for f in lib/tarvelin/tarvelin lib/tarvelin/updater bin/upq bin/qbdiff bin/make-update; do
  grep -qE "^-rwxr-xr-x .* \./usr/$f\$" <<<"$contents" || fail "/usr/$f is missing or not executable"
done
for f in lib/tarvelin/updater.ini lib/tarvelin/updater.png lib/tarvelin/dependentlibs.list \
         lib/tarvelin-examples/libqir.so lib/libvlmalloc.so include/vlm/bootstrap.h \
         lib/cmake/Vlm/VlmConfig.cmake lib/cmake/Vlm/VlmTargets.cmake lib/pkgconfig/vlm.pc \
         share/doc/tarvelin/README.md share/doc/tarvelin/examples/engine/CMakeLists.txt; do
  grep -qxF "./usr/$f" <<<"$files" || fail "/usr/$f is not in the package"
done

# The .tar.xz holds the same files under its top folder.
tar_files=$(tar -tJf "$txz" | grep -v '/$' | sed 's|^[^/]*/|./usr/|' | LC_ALL=C sort)
diff <(echo "$files") <(echo "$tar_files") >&2 || fail "the .tar.xz and the .deb differ"
echo "$(wc -l <<<"$files") files in the .deb and the .tar.xz"

# Run from the extracted package.
root=$tmp/root
dpkg-deb -x "$deb" "$root"
usr=$root/usr
lay_out "$usr/lib/tarvelin" "$tmp/v1" "$usr/lib/tarvelin-examples/libqir.so"
expect_engine "$tmp/v1" 1.0 "$version"
for tool in upq qbdiff make-update; do
  quiet "$usr/bin/$tool" --help
done
mkdir -p "$tmp/v2"
cp -a "$tmp/v1/." "$tmp/v2/"
echo "a file of the second version" >"$tmp/v2/defaults/new.txt"
rm "$tmp/v2/defaults/engine.txt"
printf 'x' >>"$tmp/v2/updater.ini"
updated=$(update_pair "$usr/bin" "$tmp/v1" "$tmp/v2")
expect_engine "$updated" 1.0 "$version"
echo "1 passed, 0 failed"
