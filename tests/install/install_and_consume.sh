#!/usr/bin/env bash
# install_and_consume.sh <build dir> <source dir>
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
shared=${VELTAAI_SHARED_DIR:-$source/../shared}
chinook=$(cd "$shared/data/chinook" && pwd)/chinook.sqlite
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

# What the prefix holds: headers, versioned libraries with their sonames, the catalogue, the
# program, the CMake package and the pkg-config file.
libdir=$(dirname "$(find "$prefix" -name 'libveltaai_core.so' | head -n1)")
[ -n "$libdir" ] || fail "no libveltaai_core.so under the prefix"
for f in include/veltaai/agent.h include/veltaai/querygraph/custom_sql.h include/veltaai/sql/connection.h bin/veltaai; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
[ ! -e "$prefix/include/veltaai/stubs" ] && [ ! -e "$prefix/include/tests" ] || fail "test headers installed"
version=$(sed -n 's/^project(veltaai VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
[ -f "$libdir/libveltaai_agent.so.$version" ] || fail "libveltaai_agent.so.$version missing"
soname=$(readelf -d "$libdir/libveltaai_agent.so.$version" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = "libveltaai_agent.so.${version%.*}" ] || fail "soname is '$soname'"
[ -f "$libdir/veltaai/function_calling/prompt/relevant_table.yaml" ] || fail "catalogue not beside the libraries"
[ -f "$libdir/cmake/veltaai/veltaaiConfig.cmake" ] || fail "no CMake package"
[ -f "$libdir/pkgconfig/veltaai.pc" ] || fail "no pkg-config file"

# The installed program runs from its own libraries.
"$prefix/bin/veltaai" --help >"$work/help.txt" || fail "installed veltaai --help failed"
grep -q "ask" "$work/help.txt" || fail "veltaai --help does not list ask"
if ldd "$prefix/bin/veltaai" | grep "libveltaai_" | grep -v -q "$prefix"; then
  fail "the installed program loads libraries from outside the prefix"
fi

# An outside CMake project: find_package(veltaai CONFIG REQUIRED), targets veltaai::...
cmake -S "$source/examples" -B "$work/example" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/example-configure.log" || { cat "$work/example-configure.log"; fail "configure"; }
cmake --build "$work/example" >"$work/example-build.log" || { cat "$work/example-build.log"; fail "build"; }
(cd "$work" && "$work/example/host_example" "sqlite:///$chinook") >"$work/example.out" \
  || { cat "$work/example.out"; fail "host_example failed"; }
grep -q "^tables: Album, Artist, Customer" "$work/example.out" || { cat "$work/example.out"; fail "tables"; }
grep -q "^tracks in the top five genres: 2712$" "$work/example.out" || { cat "$work/example.out"; fail "analysis"; }

# The same program and a catalogue probe built with pkg-config alone.
export PKG_CONFIG_PATH=$libdir/pkgconfig
read -r -a flags <<<"$(pkg-config --cflags --libs veltaai)"
c++ "$source/examples/host_example.cpp" "${flags[@]}" -o "$work/host_example_pc"
c++ "$source/tests/install/catalogue_probe.cpp" "${flags[@]}" -o "$work/catalogue_probe"
LD_LIBRARY_PATH=$libdir "$work/host_example_pc" "sqlite:///$chinook" | grep -q "^tracks in the top five genres: 2712$" \
  || fail "pkg-config build of host_example"
found=$(LD_LIBRARY_PATH=$libdir "$work/catalogue_probe")
[ "$found" = "$libdir/veltaai/function_calling/prompt/relevant_table.yaml" ] || fail "catalogue found at '$found'"

# Inside a parent project: veltaai::<module> targets, the parent's output folders and RPATH
# untouched, no tests or benchmarks of ours.
mkdir -p "$work/parent"
cat >"$work/parent/CMakeLists.txt" <<PARENT
cmake_minimum_required(VERSION 3.25)
project(parent LANGUAGES CXX)
add_subdirectory("$source" veltaai)
foreach(target veltaai::agent veltaai::custom_sql veltaai::codetool)
  if(NOT TARGET \${target})
    message(FATAL_ERROR "no target \${target}")
  endif()
endforeach()
if(TARGET sql_test OR TARGET graph_bench OR TARGET host_example)
  message(FATAL_ERROR "tests, benchmarks or examples were added to the parent")
endif()
message(STATUS "parent outputs: [\${CMAKE_LIBRARY_OUTPUT_DIRECTORY}][\${CMAKE_RUNTIME_OUTPUT_DIRECTORY}][\${CMAKE_BUILD_RPATH}]")
PARENT
cmake -S "$work/parent" -B "$work/parent/build" -G Ninja >"$work/parent.log" 2>&1 || { cat "$work/parent.log"; fail "parent project"; }
grep -q "parent outputs: \[\]\[\]\[\]" "$work/parent.log" || { cat "$work/parent.log"; fail "parent's output folders changed"; }

# The Debian package.
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/deb/veltaai_*.deb)
dpkg-deb -f "$deb" Depends >"$work/depends"
for dep in libpq5 libsqlite3-0 libcurl4 python3-pandas bubblewrap; do
  grep -q "$dep" "$work/depends" || fail "package does not depend on $dep: $(cat "$work/depends")"
done
dpkg-deb -c "$deb" >"$work/contents"
for f in ./usr/bin/veltaai "./usr/lib/libveltaai_agent.so.$version" ./usr/include/veltaai/agent.h \
         ./usr/lib/veltaai/function_calling/prompt/relevant_table.yaml; do
  grep -q " $f" "$work/contents" || fail "$f not in the package"
done
echo "install, find_package, pkg-config and the Debian package: all good"
