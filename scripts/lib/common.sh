# Shared by scripts/test, scripts/run and scripts/bench.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_ROOT=${QS_BUILD_ROOT:-$ROOT/build}
JOBS=$(nproc)
# Debian keeps wine64 and wineserver out of PATH.
export PATH=/usr/lib/wine:$PATH

# configure_and_build ARCH [TARGETS...]
configure_and_build() {
  local arch=$1; shift
  local dir=$BUILD_ROOT/$arch
  # The test build talks to the local fake cloud and update server and
  # carries the crash-test fault points; the shipped (i686) build keeps the
  # production origins and has none. Passed on every run so that a build folder
  # made before this setting existed gets it too (a reconfigure is quick).
  local origin=()
  [ "$arch" = x86_64 ] && origin=(-DQUILLSTONE_CLOUD_BASE_URL=http://127.0.0.1:18443/
                                  -DQUILLSTONE_UPDATE_BASE_URL=http://127.0.0.1:18444/
                                  -DQUILLSTONE_FAULT_POINTS=ON)
  cmake -S "$ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo "${origin[@]}" ${QS_CMAKE_ARGS:-} >/dev/null
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
