#!/usr/bin/env bash
# Builds the libraries the Windows programs keep their records with, from Debian's source
# packages (scripts/fetch-debian-sources.sh), with mingw-w64, once into a cache outside the source
# tree, keyed by the packages' versions, the compiler's and this recipe; prints the folder that
# holds them:
#
#   scripts/build-windows-deps.sh            -> .../mingw-w64/<key>
#       sqlite3/include/sqlite3.h  sqlite3/lib/libsqlite3.a     SQLite, static
#       openssl/include/openssl/   openssl/lib/lib{crypto,ssl}.dll.a
#       openssl/bin/libcrypto-3-x64.dll  openssl/bin/libssl-3-x64.dll     OpenSSL, DLLs that ship
#       libpq/include/libpq-fe.h   libpq/lib/libpq.dll.a        libpq with TLS, a DLL that ships
#       libpq/bin/libpq.dll                                    beside the programs
#
# libpq is a DLL because a static one brings its own pthread_* emulation, which clashes with the
# compiler's thread library the programs link statically. Only the client library is built:
# no readline, zlib or ICU; TLS through OpenSSL, so that a station reaches the line's server
# with sslmode=require.
# OpenSSL's libcrypto and libssl are DLLs too: libpq.dll uses them, and the programs will use the
# same libcrypto, one copy with one state rather than one inside libpq.dll and another in each
# program. And on Windows OpenSSL frees a thread's state when the thread ends only from its DLL's
# DllMain; a static copy keeps it unless every thread calls OPENSSL_thread_stop(). They use
# Windows' own threads, not pthreads, and link libgcc statically (OpenSSL's mingw64 target), so
# they bring no second thread library either.
# TPTUNE_DEPS_JOBS (default 2) is how many compilers run at once.
# The cache lives where fetch-debian-sources.sh keeps its own.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/ci-cache.sh
cache=$TPTUNE_CI_CACHE

host=x86_64-w64-mingw32
cc=$host-gcc-posix
jobs=${TPTUNE_DEPS_JOBS:-2}
compiler=$($cc -dumpfullversion)

mapfile -t sources < <(scripts/fetch-debian-sources.sh sqlite3 postgresql-15 openssl)
sqlite_src=${sources[0]} pg_src=${sources[1]} ssl_src=${sources[2]}
sqlite_version=$(basename "$(dirname "$sqlite_src")")
pg_version=$(basename "$(dirname "$pg_src")")
ssl_version=$(basename "$(dirname "$ssl_src")")
# The recipe below is part of the key: a changed recipe builds afresh (its comments aside).
recipe=$(grep -v '^[[:space:]]*#' "$0" | sha256sum | cut -c1-12)
out=$cache/mingw-w64/$sqlite_version+$pg_version+$ssl_version+gcc$compiler+$recipe
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

# ---- OpenSSL: libcrypto and libssl, as DLLs ----
echo "build-windows-deps: OpenSSL from $ssl_version" >&2
ssl_started=$SECONDS
mkdir -p "$work/ssl" "$out/openssl/include" "$out/openssl/lib" "$out/openssl/bin"
# The folders OpenSSL reads its configuration and modules from are compiled in; mingw's default
# (/usr/local, that is C:\usr\local) is a folder any user may create on Windows, and libpq reads
# the configuration file there when it starts TLS. These are the folders of OpenSSL's own
# Windows builds, which only an administrator may write.
(cd "$work/ssl" &&
 "$ssl_src/Configure" mingw64 --cross-compile-prefix=$host- CC=gcc-posix shared no-tests \
   "--prefix=C:/Program Files/OpenSSL" "--openssldir=C:/Program Files/Common Files/SSL" \
   >/dev/null &&
 make -s -j"$jobs" build_libs >/dev/null) >&2
cp "$work/ssl/libcrypto-3-x64.dll" "$work/ssl/libssl-3-x64.dll" "$out/openssl/bin/"
cp "$work/ssl/libcrypto.dll.a" "$work/ssl/libssl.dll.a" "$out/openssl/lib/"
# The headers: the source's and the ones the build generated (configuration, version).
cp -r "$ssl_src/include/openssl" "$out/openssl/include/"
cp "$work/ssl/include/openssl/"*.h "$out/openssl/include/openssl/"
$host-strip --strip-unneeded "$out/openssl/bin/"*.dll
echo "build-windows-deps: OpenSSL done after $((SECONDS - ssl_started)) s" >&2

# ---- libpq: the client library alone, with TLS ----
echo "build-windows-deps: libpq from $pg_version" >&2
mkdir -p "$work/pg" "$out/libpq/include" "$out/libpq/lib" "$out/libpq/bin"
# libpq.dll is linked with -static (libgcc and the thread library inside it), and under -static
# the linker takes only lib<name>.a for -l<name>: OpenSSL's import libraries go by that name in
# a folder of their own, so that libpq.dll imports from OpenSSL's DLLs.
mkdir -p "$work/ssl-import"
cp "$out/openssl/lib/libcrypto.dll.a" "$work/ssl-import/libcrypto.a"
cp "$out/openssl/lib/libssl.dll.a" "$work/ssl-import/libssl.a"
(cd "$work/pg" &&
 "$pg_src/configure" --host=$host CC=$cc --without-readline --without-zlib --without-icu \
   --with-ssl=openssl --without-gssapi --without-ldap --disable-nls \
   CPPFLAGS="-I$out/openssl/include" LDFLAGS="-static -L$work/ssl-import" >/dev/null &&
 make -s -C src/include >/dev/null &&
 make -s -C src/common -j"$jobs" >/dev/null &&
 make -s -C src/port -j"$jobs" >/dev/null &&
 make -s -C src/interfaces/libpq -j"$jobs" >/dev/null) >&2
cp "$work/pg/src/interfaces/libpq/libpq.dll" "$out/libpq/bin/"
cp "$work/pg/src/interfaces/libpq/libpq.a" "$out/libpq/lib/libpq.dll.a"
cp "$pg_src/src/interfaces/libpq/libpq-fe.h" "$work/pg/src/include/pg_config_ext.h" \
   "$pg_src/src/include/postgres_ext.h" "$out/libpq/include/"
$host-strip --strip-unneeded "$out/libpq/bin/libpq.dll"
# It must load OpenSSL's DLLs, not carry a copy of its own.
imports=$($host-objdump -p "$out/libpq/bin/libpq.dll")
grep -q 'DLL Name: libssl-3-x64.dll' <<<"$imports" \
  || { echo "build-windows-deps: libpq.dll does not import libssl-3-x64.dll" >&2; exit 1; }
echo "build-windows-deps: libpq done after $((SECONDS - started)) s" >&2

touch "$out/.complete"
echo "$out"
