# Sourced by the build scripts: puts ccache in front of the compilers when it
# is installed. The cache lives outside the checkout (a fresh clone on the
# same machine reuses it; a fresh machine starts empty and works the same),
# and paths are taken relative to the checkout, so two clones share entries.
#   EV_CCACHE_DIR   the cache (default ${XDG_CACHE_HOME:-$HOME/.cache}/ev_common-ccache)
#   EV_CCACHE=OFF   no cache
# Sets CACHE_ARGS, the cmake arguments to pass when configuring.
CACHE_ARGS=()
if [ "${EV_CCACHE:-ON}" != OFF ] && command -v ccache >/dev/null 2>&1; then
  export CCACHE_DIR="${EV_CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ev_common-ccache}"
  export CCACHE_BASEDIR="$ROOT"
  export CCACHE_NOHASHDIR=1
  export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-5G}"
  mkdir -p "$CCACHE_DIR"
  CACHE_ARGS=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
