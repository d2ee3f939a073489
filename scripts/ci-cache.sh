# Sourced by the scripts that keep slow fetches and third-party builds between runs on one
# machine: sets and exports TPTUNE_CI_CACHE, the folder outside the source tree they keep them in.
# Given from outside, it stays; otherwise /var/cache/tptune-ci for root and
# ${XDG_CACHE_HOME:-~/.cache}/tptune-ci for anyone else.
if [ -z "${TPTUNE_CI_CACHE:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    TPTUNE_CI_CACHE=/var/cache/tptune-ci
  else
    TPTUNE_CI_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tptune-ci
  fi
fi
export TPTUNE_CI_CACHE
