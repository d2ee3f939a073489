# The version every program prints and the Debian package carries, from the project version in
# CMakeLists.txt (the one place a release's number is written) and the source's git history:
#
#   a commit tagged v<project version>     <project version>                  0.2.0
#   any other commit                       <project version>~git<date>.<n>.<hash>
#                                                                  0.2.0~git20261211.131.abc1234
#   no git history (a source tarball)      <project version>~src<date>     0.2.0~src20261211
#
# <date> is the commit's date (UTC), <n> the number of commits up to it, <hash> its short name.
# "~" sorts before anything, so every snapshot sorts before the release it leads to, and a later
# commit's snapshot after an earlier one's (date first, then the count for commits of one day):
# a station always takes a newer build as an upgrade. The tarball's date is SOURCE_DATE_EPOCH's
# when set, else the day of the build. TPTUNE_VERSION_OVERRIDE, when given, is used as it stands
# (for a release tarball, say).
#
# Script mode, for the tests: cmake -DSOURCE_DIR=DIR -DBASE=0.2.0 -P TptuneVersion.cmake
# prints the version of the source in DIR.

function(tptune_version source_dir base out_var)
  if(TPTUNE_VERSION_OVERRIDE)
    set(${out_var} "${TPTUNE_VERSION_OVERRIDE}" PARENT_SCOPE)
    return()
  endif()
  find_package(Git QUIET)
  set(toplevel "")
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} rev-parse --show-toplevel
                    OUTPUT_VARIABLE toplevel OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(failed)
      set(toplevel "")
    endif()
  endif()
  # A tarball unpacked inside some other repository has no history of its own.
  get_filename_component(source_real ${source_dir} REALPATH)
  if(toplevel)
    get_filename_component(toplevel ${toplevel} REALPATH)
  endif()
  if(NOT toplevel STREQUAL source_real)
    string(TIMESTAMP day "%Y%m%d" UTC)
    set(${out_var} "${base}~src${day}" PARENT_SCOPE)
    return()
  endif()

  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} describe --tags --exact-match
                          --match "v${base}" HEAD
                  RESULT_VARIABLE untagged OUTPUT_QUIET ERROR_QUIET)
  if(NOT untagged)
    set(${out_var} "${base}" PARENT_SCOPE)
    return()
  endif()
  set(saved_tz "$ENV{TZ}")
  set(ENV{TZ} UTC)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} log -1
                          --format=%cd.%h --abbrev=7 --date=format-local:%Y%m%d
                  OUTPUT_VARIABLE date_hash OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed)
  set(ENV{TZ} "${saved_tz}")
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} rev-list --count HEAD
                  OUTPUT_VARIABLE count OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed_count)
  # A shallow clone counts only the commits it holds: its snapshots would not sort after those
  # of a full clone.
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} rev-parse --is-shallow-repository
                  OUTPUT_VARIABLE shallow OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(shallow STREQUAL "true")
    message(WARNING "${source_dir} is a shallow clone: the version's commit count (${count}) is "
                    "not the history's; fetch the whole history (git fetch --unshallow) before "
                    "building packages for stations")
  endif()
  if(failed OR failed_count)
    message(FATAL_ERROR "Cannot read the version from git in ${source_dir}")
  endif()
  string(REPLACE "." ";" parts "${date_hash}")
  list(GET parts 0 date)
  list(GET parts 1 hash)
  set(${out_var} "${base}~git${date}.${count}.${hash}" PARENT_SCOPE)
endfunction()

# Makes CMake configure again when the checked-out commit changes (every commit, checkout and
# reset writes the reflog of HEAD), so a build never carries the previous commit's version.
function(tptune_version_watch source_dir)
  find_package(Git QUIET)
  if(NOT GIT_FOUND)
    return()
  endif()
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source_dir} rev-parse --absolute-git-dir
                  OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND EXISTS ${git_dir}/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/logs/HEAD)
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  tptune_version(${SOURCE_DIR} ${BASE} version)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${version}")
endif()
