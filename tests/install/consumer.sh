#!/bin/sh
# consumer.sh: installs libquarntools into a temporary prefix and builds the
# C program consumer/list_tables.c against it four ways: pkg-config shared
# and static (a fully static program), find_package shared and static (a
# C-only CMake project). Each program lists the tables of a file made by the
# test-only writer and must print exactly the tables written. Also checks
# that find_package refuses a later minor version than the installed one,
# and that a DESTDIR install under another prefix links through pkg-config
# as well. Run by ctest (tests/install/CMakeLists.txt):
#
#   consumer.sh SOURCE_DIR STATE_DIR LIBRARY_BUILD MAKE_DATABASE CMAKE
#               GENERATOR CC CXX VERSION LIBDIR
#
# LIBRARY_BUILD is the build folder whose install is tested, or "-": then
# an uninstrumented copy of the library is configured, built and kept in
# STATE_DIR/library and installed instead (see tests/install/CMakeLists.txt
# for why the sanitizer build does so).
set -eu

src=$1 state=$2 library_build=$3 make_database=$4 cmake=$5
generator=$6 cc=$7 cxx=$8 version=$9 libdir=${10}
major=${version%%.*}
minor=${version#*.}
minor=${minor%%.*}

work=$(mktemp -d "${TMPDIR:-/tmp}/quarn-consumer.XXXXXX")
trap 'status=$?; if [ $status -eq 0 ]; then rm -rf "$work"; else echo "(files kept in $work)" >&2; fi' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Runs a command with its output into the log file $1; shows the log when
# the command fails.
logged() {
    log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        fail "$*"
    fi
}

if [ "$library_build" = "-" ]; then
    library_build=$state/library
    logged "$work/library-configure.log" "$cmake" -S "$src" -B "$library_build" -G "$generator" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_INSTALL_LIBDIR="$libdir" \
        -DQUARN_SANITIZE=OFF -DQUARN_BUILD_TESTS=OFF -DQUARN_BUILD_TOOLS=OFF
    logged "$work/library-build.log" "$cmake" --build "$library_build" --parallel 2
fi

prefix=$work/prefix
logged "$work/install.log" "$cmake" --install "$library_build" --prefix "$prefix"

db=$work/tables.fmp12
set -- Customers Orders "Café Crème" "Ödön's Notes"
"$make_database" "$db" "$@" || fail "writing $db"
n=0
for table in "$@"; do
    n=$((n + 1))
    printf '%d %s\n' "$n" "$table"
done >"$work/expected"

program=$src/tests/install/consumer/list_tables.c
strict="-std=c11 -Wall -Wextra -pedantic -Werror"

# check_output NAME BINARY [LIBRARY_PATH]: the program lists the tables.
check_output() {
    LD_LIBRARY_PATH=${3:-} "$2" "$db" >"$work/$1.out" 2>"$work/$1.err" || {
        cat "$work/$1.err" >&2
        fail "$1: the program failed"
    }
    if ! cmp -s "$work/expected" "$work/$1.out"; then
        diff "$work/expected" "$work/$1.out" >&2 || true
        fail "$1: the tables listed differ from those written"
    fi
}

# check_shared NAME BINARY LIBDIR [LIBRARY_PATH]: the program needs the
# shared library and loads it from LIBDIR.
check_shared() {
    readelf -d "$2" | grep -q 'NEEDED.*\[libquarntools\.so\.'"$major"'\]' ||
        fail "$1: does not need libquarntools.so.$major"
    loaded=$(LD_LIBRARY_PATH=${4:-} ldd "$2" | awk '$1 ~ /^libquarntools\.so/ { print $3 }')
    [ "$loaded" = "$3/libquarntools.so.$major" ] ||
        fail "$1: loads libquarntools from '$loaded', not from $3"
}

# check_static NAME BINARY: the library is linked in.
check_static() {
    if readelf -d "$2" | grep -q 'NEEDED.*libquarntools'; then
        fail "$1: needs the shared library"
    fi
}

pkg_config() {
    PKG_CONFIG_LIBDIR=$pc_dir pkg-config "$@"
}

# -- pkg-config, shared
pc_dir=$prefix/$libdir/pkgconfig
# shellcheck disable=SC2046,SC2086
logged "$work/pc-shared.log" "$cc" $strict $(pkg_config --cflags quarntools) "$program" \
    -o "$work/pc-shared" $(pkg_config --libs quarntools)
check_shared pc-shared "$work/pc-shared" "$prefix/$libdir" "$prefix/$libdir"
check_output pc-shared "$work/pc-shared" "$prefix/$libdir"
echo "ok: pkg-config, shared"

# -- pkg-config --static, a fully static program: without the C++ runtime
# in Libs.private the link fails.
# shellcheck disable=SC2046,SC2086
logged "$work/pc-static.log" "$cc" -static $strict $(pkg_config --cflags quarntools) "$program" \
    -o "$work/pc-static" $(pkg_config --static --libs quarntools)
readelf -d "$work/pc-static" | grep -q 'no dynamic section' || fail "pc-static: not a static program"
check_output pc-static "$work/pc-static"
echo "ok: pkg-config, static"

# -- find_package from a C-only project, both targets
for link in shared static; do
    build=$work/fp-$link
    logged "$work/fp-$link-configure.log" "$cmake" -S "$src/tests/install/consumer" -B "$build" \
        -G "$generator" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
        -DQUARN_LINK=$link -DQUARN_VERSION="$major.$minor"
    grep -qx "QuarnTools_DIR:PATH=$prefix/$libdir/cmake/QuarnTools" "$build/CMakeCache.txt" ||
        fail "fp-$link: find_package found another QuarnTools: $(grep '^QuarnTools_DIR' "$build/CMakeCache.txt")"
    logged "$work/fp-$link-build.log" "$cmake" --build "$build"
    if [ $link = shared ]; then
        # the build tree's RPATH leads to the prefix
        check_shared fp-shared "$build/list_tables" "$prefix/$libdir"
    else
        check_static fp-static "$build/list_tables"
    fi
    check_output "fp-$link" "$build/list_tables"
    echo "ok: find_package, $link"
done

# -- the version check: a later minor version than the one installed
later=$major.$((minor + 1))
if "$cmake" -S "$src/tests/install/consumer" -B "$work/fp-later" -G "$generator" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" -DQUARN_VERSION="$later" \
    >"$work/fp-later.log" 2>&1; then
    fail "find_package(QuarnTools $later) accepted version $version"
fi
grep -q 'compatible with requested version "'"$later"'"' "$work/fp-later.log" || {
    cat "$work/fp-later.log" >&2
    fail "find_package(QuarnTools $later) failed for another reason"
}
echo "ok: find_package refuses $later"

# -- DESTDIR with another prefix than the one configured
stage=$work/stage
logged "$work/stage-install.log" env DESTDIR="$stage" "$cmake" --install "$library_build" --prefix /opt/quarn
pc_dir=$stage/opt/quarn/$libdir/pkgconfig
# shellcheck disable=SC2046,SC2086
logged "$work/stage.log" "$cc" $strict $(pkg_config --cflags quarntools) "$program" \
    -o "$work/stage-shared" $(pkg_config --libs quarntools)
check_shared stage "$work/stage-shared" "$stage/opt/quarn/$libdir" "$stage/opt/quarn/$libdir"
check_output stage "$work/stage-shared" "$stage/opt/quarn/$libdir"
echo "ok: pkg-config after a DESTDIR install"
