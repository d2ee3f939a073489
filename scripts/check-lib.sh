# Sourced by the check scripts: check DESCRIPTION COMMAND... runs the command, says "ok: ..." or
# "*** FAILED: ..." and counts the failures in $failures.
failures=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "*** FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}
