#!/bin/sh
# package.sh: makes the Debian packages of a build with cpack and checks
# them: exactly three packages; each holds exactly the files it should
# (dpkg-deb --contents); their dependencies cover every shared library that
# their binaries need; the library package carries its shlibs file and runs
# ldconfig. Then unpacks the three into a throw-away root (dpkg -x), runs
# the packaged programs from there on a file made by the test-only writer,
# and builds a C program against the unpacked development files with
# pkg-config. Run by ctest (tests/install/CMakeLists.txt):
#
#   package.sh SOURCE_DIR BUILD_DIR MAKE_DATABASE CPACK CC VERSION
#              LIBDIR INCLUDEDIR BINDIR MANDIR CONFIG PROGRAM...
#
# The *DIR after VERSION are the build's install folders relative to the
# prefix, CONFIG is the build type in lower case (it names a file of the
# CMake package), PROGRAM... every program the build makes.
set -eu

src=$1 build=$2 make_database=$3 cpack=$4 cc=$5 version=$6
libdir=$7 includedir=$8 bindir=$9 mandir=${10} config=${11}
shift 11
programs=$*
major=${version%%.*}
arch=$(dpkg --print-architecture)

work=$(mktemp -d "${TMPDIR:-/tmp}/quarn-package.XXXXXX")
trap 'status=$?; if [ $status -eq 0 ]; then rm -rf "$work"; else echo "(files kept in $work)" >&2; fi' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

logged() {
    log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        fail "$*"
    fi
}

runtime=libquarntools$major
dev=libquarntools-dev
tools=quarn-tools

logged "$work/cpack.log" "$cpack" --config "$build/CPackConfig.cmake" -B "$work/cpack"
out=$work/cpack
(cd "$out" && ls ./*.deb | sed 's|^\./||' | sort) >"$work/debs"
printf '%s\n' "${runtime}_${version}_$arch.deb" "${dev}_${version}_$arch.deb" \
    "${tools}_${version}_$arch.deb" | sort >"$work/debs.expected"
if ! cmp -s "$work/debs.expected" "$work/debs"; then
    diff "$work/debs.expected" "$work/debs" >&2 || true
    fail "cpack did not make the three packages"
fi
deb() {
    echo "$out/${1}_${version}_$arch.deb"
}

# -- contents: everything but folders, exactly
{
    echo "usr/$libdir/libquarntools.so.$major"
    echo "usr/$libdir/libquarntools.so.$version"
} >"$work/$runtime.expected"
{
    echo "usr/$includedir/quarn.h"
    echo "usr/$includedir/quarn.hpp"
    echo "usr/$libdir/libquarntools.so"
    echo "usr/$libdir/libquarntools.a"
    echo "usr/$libdir/pkgconfig/quarntools.pc"
    for f in QuarnToolsConfig QuarnToolsConfigVersion QuarnToolsTargets "QuarnToolsTargets-$config"; do
        echo "usr/$libdir/cmake/QuarnTools/$f.cmake"
    done
} >"$work/$dev.expected"
{
    for program in $programs; do
        echo "usr/$bindir/$program"
    done
    for page in "$src"/man/*.1; do
        [ -e "$page" ] && echo "usr/$mandir/man1/${page##*/}.gz"
    done
} >"$work/$tools.expected"
for package in $runtime $dev $tools; do
    dpkg-deb --contents "$(deb $package)" >"$work/$package.contents"
    awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' "$work/$package.contents" | sort >"$work/$package.files"
    sort -o "$work/$package.expected" "$work/$package.expected"
    if ! cmp -s "$work/$package.expected" "$work/$package.files"; then
        diff "$work/$package.expected" "$work/$package.files" >&2 || true
        fail "$package: the files differ from those expected (< expected, > packaged)"
    fi
    [ "$(dpkg-deb --field "$(deb $package)" Package)" = $package ] || fail "$package: wrong Package field"
    [ "$(dpkg-deb --field "$(deb $package)" Version)" = "$version" ] || fail "$package: wrong Version field"
done
echo "ok: dpkg-deb --contents of the three packages"

# -- dependencies
# depends PACKAGE: the names of the packages it depends on, one a line
depends() {
    dpkg-deb --field "$(deb "$1")" Depends | tr ',' '\n' | awk '{ print $1 }'
}
# owner PATH: the installed package that holds the file at PATH
owner() {
    real=$(readlink -f "$1")
    for p in "$1" "$real" "/usr$1" "${1#/usr}" "/usr$real" "${real#/usr}"; do
        name=$(dpkg-query -S "$p" 2>/dev/null | awk -F: 'NR == 1 { print $1 }')
        [ -n "$name" ] && { echo "$name"; return 0; }
    done
    return 1
}
# covers PACKAGE FILE LIBRARY_PATH: every shared library that FILE needs,
# but libquarntools, is in a package that PACKAGE depends on.
covers() {
    for soname in $(readelf -d "$2" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
        case $soname in libquarntools.so.*) continue ;; esac
        path=$(LD_LIBRARY_PATH=$3 ldd "$2" | awk -v so="$soname" '$1 == so { print $3 }')
        [ -n "$path" ] || fail "$2: $soname not found"
        name=$(owner "$path") || fail "$2: no installed package holds $path"
        depends "$1" | grep -qx "$name" || fail "$1: does not depend on $name, which holds $soname"
    done
}
for package in $dev $tools; do
    dpkg-deb --field "$(deb $package)" Depends | tr ',' '\n' | sed 's/^ *//' |
        grep -qx "$runtime (= $version)" || fail "$package: does not depend on $runtime (= $version)"
done
[ "$(dpkg-deb --info "$(deb $runtime)" shlibs)" = "libquarntools $major $runtime (>= $version)" ] ||
    fail "$runtime: wrong or no shlibs file"
dpkg-deb --info "$(deb $runtime)" postinst | grep -q ldconfig || fail "$runtime: postinst does not run ldconfig"

# -- unpacked into a throw-away root
root=$work/root
for package in $runtime $dev $tools; do
    dpkg -x "$(deb $package)" "$root"
done
lib=$root/usr/$libdir
bin=$root/usr/$bindir
covers $runtime "$lib/libquarntools.so.$version" "$lib"
for program in $programs; do
    covers $tools "$bin/$program" "$lib"
    readelf -d "$bin/$program" | grep -q 'NEEDED.*\[libquarntools\.so\.' || continue
    loaded=$(LD_LIBRARY_PATH=$lib ldd "$bin/$program" | awk '$1 ~ /^libquarntools\.so/ { print $3 }')
    [ "$loaded" = "$lib/libquarntools.so.$major" ] ||
        fail "$program: loads libquarntools from '$loaded', not from the unpacked package"
done
echo "ok: dependencies"

db=$work/tables.fmp12
set -- Customers Orders "Café Crème"
"$make_database" "$db" "$@" || fail "writing $db"

run() {
    LD_LIBRARY_PATH=$lib "$@"
}
run "$bin/quarn-dump" "$db" >"$work/dump.out" 2>"$work/dump.err" || {
    cat "$work/dump.err" >&2
    fail "quarn-dump failed"
}
for table in "$@"; do
    grep -qF "=> \"$table\"" "$work/dump.out" || fail "quarn-dump did not print the table name $table"
done
echo "ok: quarn-dump"

case " $programs " in
*" quarn "*)
    run "$bin/quarn" --version >"$work/version.out" 2>&1 || {
        cat "$work/version.out" >&2
        fail "quarn --version failed"
    }
    grep -qF "$version" "$work/version.out" || fail "quarn --version does not say $version"
    echo "ok: quarn --version"
    ;;
esac

for program in $programs; do
    case $program in
    quarn-to-sqlite)
        run "$bin/$program" "$db" "$work/out.sqlite" || fail "$program failed"
        sqlite3 "$work/out.sqlite" "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid" \
            >"$work/sqlite.tables"
        printf '%s\n' "$@" | cmp -s - "$work/sqlite.tables" || fail "$program: the tables differ"
        ;;
    quarn-to-json)
        run "$bin/$program" "$db" "$work/out.json" || fail "$program failed"
        for table in "$@"; do
            grep -qF "\"$table\"" "$work/out.json" || fail "$program: no table $table"
        done
        ;;
    quarn-to-xlsx)
        run "$bin/$program" "$db" "$work/out.xlsx" || fail "$program failed"
        [ "$(head -c 2 "$work/out.xlsx")" = PK ] || fail "$program: not a zip file"
        ;;
    *) continue ;;
    esac
    echo "ok: $program"
done

# -- the development files: a C program through the unpacked .pc file
pkg_config() {
    PKG_CONFIG_LIBDIR=$lib/pkgconfig pkg-config "$@"
}
[ -f "$(pkg_config --variable=includedir quarntools)/quarn.h" ] ||
    fail "quarntools.pc does not lead to the unpacked headers"
# shellcheck disable=SC2046
logged "$work/consumer.log" "$cc" -std=c11 -Wall -Wextra -Werror $(pkg_config --cflags quarntools) \
    "$src/tests/install/consumer/list_tables.c" -o "$work/list_tables" $(pkg_config --libs quarntools)
n=0
for table in "$@"; do
    n=$((n + 1))
    printf '%d %s\n' "$n" "$table"
done >"$work/expected"
run "$work/list_tables" "$db" >"$work/list_tables.out" || fail "list_tables failed"
cmp -s "$work/expected" "$work/list_tables.out" || fail "list_tables: the tables differ"
echo "ok: a C program built with the unpacked $dev"
