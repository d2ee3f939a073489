#!/usr/bin/env bash
# The main job on the emulated bench, once with the Linux program and once with the Windows
# program under Wine (run inside scripts/wine-session.sh): the log, the run trace and the bench
# report must be the same, line ends aside; both keep their production records by default (the
# bench's file beside the program), and tptune-records of each platform must read them alike:
# list, show, the CSV and JSON exports and the statistics, byte for byte once the times and
# uids (which no two runs share) are set aside. Then the Windows programs keep the same job's
# records on a throwaway PostgreSQL server on 127.0.0.1, and the Linux records program reads
# from that server what the Windows one reads. Needs build/default and build/windows built.
set -euo pipefail
cd "$(dirname "$0")/.."

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

job_options=(--bench --gold server --restore-server --rf-modem rfmodem.tpf --eeprom eeprom.tpf
             --server-firmware server.sff --answers ok,yes,yes,no --bench-report report.json)
# What differs between any two runs: the instants and the records' uids; and between the
# platforms, the station's name: the host name on Linux, Windows' computer name (upper case, at
# most 15 characters) under Wine.
host=$(hostname)
# Exports are data: their bytes are compared as written, line ends included.
normalise_data() {
  sed -E -i \
    -e "s/(^|[^A-Za-z0-9-])(${host//./\\.}|${host:0:15})([^A-Za-z0-9-]|$)/\1<station>\3/gI" \
    -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?Z/<time>/g' \
    -e 's/[0-9a-f]{32}/<uid>/g' "$@"
}
# What the records program shows on the console, line ends aside.
normalise() {
  sed -i 's/\r$//' "$@"
  normalise_data "$@"
}
# The store answers the "tuned before?" lookup within 50 ms, or the pass goes on and says so;
# on a loaded machine that line comes now and then, on either platform. It is not the job's.
drop_slow_lookups() {
  sed -i '/^Could not look up whether this TallyPilot was tuned before (the records did not answer in time)$/d' "$@"
}

# Each program in a folder of its own with the test firmwares beside it and the production
# packages in the same folder, named relative to it, so both runs see the same names.
run() {  # run NAME BUILD EXE-SUFFIX [LAUNCHER] -- [OPTIONS]
  local name=$1 build=$2 exe=$3
  shift 3
  local launcher=()
  while [ "$1" != "--" ]; do launcher+=("$1"); shift; done
  shift
  local dir=$work/$name
  mkdir -p "$dir"
  cp "$build/app/tptune-cli$exe" "$build/app/tptune-records$exe" \
     build/default/app/{rfmodem.tpf,eeprom.tpf,server.sff,tpftune.tpf,srvftune.sff} "$dir/"
  # The DLLs the build put beside the programs: libpq.dll and OpenSSL's.
  [ -z "$exe" ] || cp "$build/app/"*.dll "$dir/"
  (cd "$dir" && "${launcher[@]}" "./tptune-cli$exe" "${job_options[@]}" "$@" \
    </dev/null >log.txt 2>progress.txt) || echo "$name: exit status $?" >"$dir/status.txt"
  (cd "$dir" && "${launcher[@]}" "./tptune-cli$exe" --help >help.txt)
  for f in log.txt progress.txt report.json help.txt; do sed -i 's/\r$//' "$dir/$f"; done
  [ ! -e "$dir/tptune-cli.ERR" ] || sed -i 's/\r$//' "$dir/tptune-cli.ERR"
  drop_slow_lookups "$dir/log.txt"
}
# What the records program of a folder reads (its default store, or --db LOCATION).
read_records() {  # read_records DIR EXE-SUFFIX [LAUNCHER] -- [--db LOCATION]
  local dir=$1 exe=$2
  shift 2
  local launcher=()
  while [ "$1" != "--" ]; do launcher+=("$1"); shift; done
  shift
  (cd "$dir" &&
   "${launcher[@]}" "./tptune-records$exe" "$@" list --include-bench >records-list.txt &&
   "${launcher[@]}" "./tptune-records$exe" "$@" show 2 >records-show.txt &&
   "${launcher[@]}" "./tptune-records$exe" "$@" export --format csv --with-trace --include-bench \
     >records.csv &&
   "${launcher[@]}" "./tptune-records$exe" "$@" export --format json --include-bench >records.json &&
   "${launcher[@]}" "./tptune-records$exe" "$@" stats --include-bench >records-stats.txt) \
    || echo "tptune-records$exe in $dir: exit status $?" >>"$dir/status.txt"
  normalise "$dir"/records-*.txt
  normalise_data "$dir"/records.csv "$dir"/records.json
}

status=0
same() {  # same FILE DIR-A DIR-B
  if [ ! -e "$2/$1" ] && [ ! -e "$3/$1" ]; then
    return
  elif cmp -s "$2/$1" "$3/$1"; then
    echo "same $1 ($(wc -c <"$2/$1") bytes)"
  else
    echo "*** $1 differs between $(basename "$2") and $(basename "$3"):" >&2
    diff "$2/$1" "$3/$1" | head -n 20 | cut -c1-400 >&2 || true
    status=1
  fi
}

run linux build/default "" -- 
run windows build/windows .exe "$wine" --
read_records "$work/linux" "" --
read_records "$work/windows" .exe "$wine" --
# The run trace goes beside the program under its default name on both (tptune-cli.ERR).
for f in log.txt report.json tptune-cli.ERR status.txt help.txt \
         records-list.txt records-show.txt records.csv records.json records-stats.txt; do
  same "$f" "$work/linux" "$work/windows"
done
# Without --records each kept the bench's records in its own file beside the program, as --help
# says ("with --bench tptune-bench.db").
for name in linux windows; do
  if [ ! -s "$work/$name/tptune-bench.db" ] || ! grep -q "with --bench tptune-bench.db" "$work/$name/help.txt"; then
    echo "*** the $name program kept no records in tptune-bench.db beside itself" >&2
    status=1
  fi
done
[ "$(grep -c '^[0-9]' "$work/linux/records-list.txt")" -eq 3 ] \
  || { echo "*** the Linux records program does not list the job's three records" >&2; status=1; }

# The same job's records on a PostgreSQL server, from the Windows programs.
echo "--- the Windows programs' records on PostgreSQL; the Linux records program reads them too"
postgres_job() {
  local location="postgresql://postgres@127.0.0.1:$TPTUNE_TEST_PG_PORT/postgres"
  run windows-pg build/windows .exe "$wine" -- --records "$location"
  read_records "$work/windows-pg" .exe "$wine" -- --db "$location"
  mkdir -p "$work/linux-pg"
  cp build/default/app/tptune-records "$work/linux-pg/"
  read_records "$work/linux-pg" "" -- --db "$location"
}
export -f run read_records normalise normalise_data drop_slow_lookups postgres_job
export work wine host
job_options_text=$(printf '%q ' "${job_options[@]}")
tests/records/with-pg-server.sh bash -c "job_options=($job_options_text); postgres_job"
for f in log.txt report.json status.txt; do
  same "$f" "$work/windows" "$work/windows-pg"
done
for f in records-list.txt records-show.txt records.csv records.json records-stats.txt; do
  same "$f" "$work/windows-pg" "$work/linux-pg"
  same "$f" "$work/windows" "$work/windows-pg"
done
exit $status
