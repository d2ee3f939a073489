#!/usr/bin/env bash
# Builds the libraries the Windows programs keep their records with, from Debian's source
# packages (scripts/fetch-debian-sources.sh), with mingw-w64, once into a cache outside the source
# tree, keyed by the package's version and the compiler's; prints the folder that holds them:
#
#   scripts/build-windows-deps.sh            -> .../mingw-w64/<key>
#       sqlite3/include/sqlite3.h  sqlite3/lib/libsqlite3.a     SQLite, static
#       libpq/include/libpq-fe.h   libpq/lib/libpq.dll.a        libpq, a DLL that ships
#       libpq/bin/libpq.dll                                    beside the programs
#
# libpq is a DLL because a static one brings its own pthread_* emulation, which clashes with the
# compiler's thread library the programs link statically. Only the client library is built:
# no readline, zlib or ICU. The cache lives where fetch-debian-sources.sh keeps its own.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/ci-cache.sh
cache=$TPTUNE_CI_CACHE

host=x86_64-w64-mingw32
cc=$host-gcc-posix
jobs=${TPTUNE_DEPS_JOBS:-2}
compiler=$($cc -dumpfullversion)

mapfile -t sources < <(scripts/fetch-debian-sources.sh sqlite3 postgresql-15)
sqlite_src=${sources[0]} pg_src=${sources[1]}
sqlite_version=$(basename "$(dirname "$sqlite_src")")
pg_version=$(basename "$(dirname "$pg_src")")
# The recipe below is part of the key: a changed recipe builds afresh.
recipe=$(sha256sum "$0" | cut -c1-12)
out=$cache/mingw-w64/$sqlite_version+$pg_version+gcc$compiler+$recipe
mkdir -p "$cache/mingw-w64"
exec 9>"$cache/mingw-w64/.lock"
flock 9
if [ -f "$out/.complete" ]; then
  echo "$out"
  exit 0
fi
rm -rf "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/tptune-deps.XXXXXX")
trap 'rm -rf "$work"' EXIT
started=$SECONDS

# ---- SQLite: the single-file source made on the host, compiled with mingw ----
echo "build-windows-deps: SQLite from $sqlite_version" >&2
mkdir -p "$work/sqlite" "$out/sqlite3/include" "$out/sqlite3/lib"
(cd "$work/sqlite" && "$sqlite_src/configure" --disable-tcl --disable-readline >/dev/null &&
 make -s sqlite3.c >/dev/null) >&2
# The options Debian's own library is built with that the store can notice (URIs, JSON).
sqlite_flags=(-O2 -fno-strict-aliasing -DSQLITE_THREADSAFE=1 -DSQLITE_USE_URI=1
              -DSQLITE_ENABLE_JSON1 -DSQLITE_SECURE_DELETE -DSQLITE_ENABLE_COLUMN_METADATA
              -DSQLITE_LIKE_DOESNT_MATCH_BLOBS -DSQLITE_MAX_SCHEMA_RETRY=25
              -DSQLITE_MAX_VARIABLE_NUMBER=250000 -DSQLITE_OMIT_LOAD_EXTENSION)
$cc "${sqlite_flags[@]}" -c "$work/sqlite/sqlite3.c" -o "$work/sqlite/sqlite3.o"
$host-ar rcs "$out/sqlite3/lib/libsqlite3.a" "$work/sqlite/sqlite3.o"
cp "$work/sqlite/sqlite3.h" "$work/sqlite/sqlite3ext.h" "$out/sqlite3/include/"
echo "build-windows-deps: SQLite done after $((SECONDS - started)) s" >&2

# ---- libpq: the client library alone ----
echo "build-windows-deps: libpq from $pg_version" >&2
mkdir -p "$work/pg" "$out/libpq/include" "$out/libpq/lib" "$out/libpq/bin"
(cd "$work/pg" &&
 "$pg_src/configure" --host=$host CC=$cc --without-readline --without-zlib --without-icu \
   --without-openssl --without-gssapi --without-ldap --disable-nls LDFLAGS=-static >/dev/null &&
 make -s -C src/include >/dev/null &&
 make -s -C src/common -j"$jobs" >/dev/null &&
 make -s -C src/port -j"$jobs" >/dev/null &&
 make -s -C src/interfaces/libpq -j"$jobs" >/dev/null) >&2
cp "$work/pg/src/interfaces/libpq/libpq.dll" "$out/libpq/bin/"
cp "$work/pg/src/interfaces/libpq/libpq.a" "$out/libpq/lib/libpq.dll.a"
cp "$pg_src/src/interfaces/libpq/libpq-fe.h" "$work/pg/src/include/pg_config_ext.h" \
   "$pg_src/src/include/postgres_ext.h" "$out/libpq/include/"
$host-strip --strip-unneeded "$out/libpq/bin/libpq.dll"
echo "build-windows-deps: libpq done after $((SECONDS - started)) s" >&2

touch "$out/.complete"
echo "$out"
