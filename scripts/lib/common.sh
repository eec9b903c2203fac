# Shared by scripts/test, scripts/run and scripts/bench.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_ROOT=${QS_BUILD_ROOT:-$ROOT/build}
JOBS=$(nproc)
# Debian keeps wine64 and wineserver out of PATH.
export PATH=/usr/lib/wine:$PATH

# Compiler cache by default when present (scripts/bootstrap installs it): the
# same sources are compiled for three configurations (x86_64, the shipped
# i686 and the i686 test build) and again in every fresh clone CI makes, so a
# warm machine rebuilds little. Paths are hashed relative to the tree, so a
# clone in another folder finds the same entries. QS_NO_CCACHE=1 turns it off.
QS_CCACHE=()
if [ -z "${QS_NO_CCACHE:-}" ] && command -v ccache >/dev/null &&
   [[ "${QS_CMAKE_ARGS:-}" != *COMPILER_LAUNCHER* ]]; then
  QS_CCACHE=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}

# configure_and_build CONFIG [-k] [TARGETS...]
# CONFIG: x86_64 (the test build, run on the host), i686 (the shipped build)
# or i686-test (the 32-bit test build, run in the i686 lane's guest).
configure_and_build() {
  local config=$1; shift
  local dir=$BUILD_ROOT/$config arch=${config%-test}
  # The test builds talk to the local fake cloud and update server and
  # carry the crash-test fault points; the shipped (i686) build keeps the
  # production origins and has none. Passed on every run so that a build folder
  # made before this setting existed gets it too (a reconfigure is quick).
  local origin=()
  [ "$config" != i686 ] && origin=(-DQUILLSTONE_CLOUD_BASE_URL=http://127.0.0.1:18443/
                                   -DQUILLSTONE_UPDATE_BASE_URL=http://127.0.0.1:18444/
                                   -DQUILLSTONE_FAULT_POINTS=ON)
  cmake -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=${QS_BUILD_TYPE:-RelWithDebInfo} "${origin[@]}" "${QS_CCACHE[@]}" \
        ${QS_CMAKE_ARGS:-} >/dev/null
  if [ "${1:-}" = "-k" ]; then
    shift
    cmake --build "$dir" -j"$JOBS" ${1:+--target "$@"} -- -k
  elif [ $# -gt 0 ]; then
    cmake --build "$dir" -j"$JOBS" --target "$@"
  else
    cmake --build "$dir" -j"$JOBS"
  fi
}

# in_sandbox CMD...: runs CMD in a private network namespace (loopback only,
# multicast routed on loopback) with its own X display and a wineserver
# started inside, so every socket Wine opens stays in the namespace.
in_sandbox() {
  export WINEPREFIX=${WINEPREFIX:-$BUILD_ROOT/x86_64/wineprefix}
  WINEDEBUG=-all wineserver -k 2>/dev/null || true
  unshare -n -- "$ROOT/scripts/lib/sandbox-inner" "$@"
}
