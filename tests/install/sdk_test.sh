#!/usr/bin/env bash
# cmake --install into a temporary prefix, moved elsewhere afterwards (the
# installed tree must not depend on where it was installed). From the moved
# prefix alone: the example engine built out of tree with find_package(Vlm)
# and with pkg-config (both under -z defs, which the example undoes for the
# engine), installation directories laid out from the installed programs and
# started, an update between them made with the installed tools and applied
# by the installed updater, and a program run on the installed allocator.
# usage: sdk_test.sh BUILD_DIR PRODUCT_VERSION
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=$(cd "$1" && pwd)
version=$2

quiet cmake --install "$build" --prefix "$tmp/staging"
mv "$tmp/staging" "$tmp/prefix"
prefix=$tmp/prefix
app=$prefix/lib/tarvelin
example=$prefix/share/doc/tarvelin/examples/engine

for f in lib/tarvelin/tarvelin lib/tarvelin/updater lib/tarvelin/updater.ini \
         lib/tarvelin/updater.png lib/tarvelin/dependentlibs.list \
         lib/tarvelin-examples/libqir.so bin/upq bin/qbdiff bin/make-update \
         lib/libvlmalloc.so include/vlm/bootstrap.h include/vlm/time_stamp.h \
         lib/cmake/Vlm/VlmConfig.cmake lib/cmake/Vlm/VlmConfigVersion.cmake \
         lib/pkgconfig/vlm.pc share/doc/tarvelin/README.md \
         share/doc/tarvelin/formats/upq-format.md; do
  [ -e "$prefix/$f" ] || fail "$f is not installed"
done
for f in lib/tarvelin/tarvelin lib/tarvelin/updater bin/upq bin/qbdiff bin/make-update; do
  [ -x "$prefix/$f" ] || fail "$f is not executable"
done
[ ! -e "$app/libqir.so" ] || fail "the example engine is installed in the installation folder"
# Nothing refers to the build tree: no run path in the binaries, no path in
# the SDK's text files.
for f in "$app/tarvelin" "$app/updater" "$prefix"/bin/upq "$prefix"/bin/qbdiff \
         "$prefix/lib/libvlmalloc.so"; do
  if readelf -d "$f" | grep -E 'RPATH|RUNPATH'; then fail "$f keeps a run path"; fi
done
if grep -rlF -e "$build" -e "$tmp/staging" "$prefix/lib/cmake" "$prefix/lib/pkgconfig"; then
  fail "the SDK files name the build tree or the install prefix"
fi

# The example engine with find_package, version 1.0.
cmake_build=$tmp/engine-cmake
quiet cmake -S "$example" -B "$cmake_build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DENGINE_VERSION=1.0 -DCMAKE_SHARED_LINKER_FLAGS=-Wl,-z,defs
grep -qxF "Vlm_DIR:PATH=$prefix/lib/cmake/Vlm" "$cmake_build/CMakeCache.txt" ||
  fail "find_package(Vlm) did not take the installed package: $(grep Vlm_DIR "$cmake_build/CMakeCache.txt")"
quiet cmake --build "$cmake_build"
grep -q -- '-std=.*20' "$cmake_build/build.ninja" || fail "Vlm::engine does not ask for C++20"

# The example engine with pkg-config, version 2.0.
pc_build=$tmp/engine-pc
mkdir "$pc_build"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cflags=$(pkg-config --cflags vlm)
for flag in -std=c++20 -pthread "-I$prefix/lib/pkgconfig/../../include"; do
  grep -qwF -- "$flag" <<<"$cflags" || fail "pkg-config --cflags vlm lacks $flag: $cflags"
done
[ "$(pkg-config --modversion vlm)" = "$version" ] || fail "vlm.pc version $(pkg-config --modversion vlm)"
quiet make -C "$pc_build" -f "$example/Makefile" ENGINE_VERSION=2.0 LDFLAGS=-Wl,-z,defs
unset PKG_CONFIG_PATH

# Installations laid out from the installed files, started.
lay_out "$app" "$tmp/v1" "$cmake_build/libqir.so"
lay_out "$app" "$tmp/v2" "$pc_build/libqir.so"
lay_out "$app" "$tmp/example" "$prefix/lib/tarvelin-examples/libqir.so"
expect_engine "$tmp/v1" 1.0 "$version"
expect_engine "$tmp/v2" 2.0 "$version"
expect_engine "$tmp/example" 1.0 "$version"
echo "tarvelin from the installed files runs engines built with find_package and pkg-config"

# Update 1.0 -> 2.0 with the installed tools and updater.
updated=$(update_pair "$prefix/bin" "$tmp/v1" "$tmp/v2")
expect_engine "$updated" 2.0 "$version"
echo "make-update and the updater from the installed tree update 1.0 to 2.0"

# A program on the installed allocator.
expected=$(seq 1 20000 | sort -r | md5sum)
actual=$(seq 1 20000 | LD_PRELOAD=$prefix/lib/libvlmalloc.so sort -r | md5sum)
[ "$expected" = "$actual" ] || fail "sort on the installed libvlmalloc.so differs"
echo "1 passed, 0 failed"
