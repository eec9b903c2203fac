#!/usr/bin/env bash
# Runs COMMAND in a brand-new Wine prefix of its own, as on a machine that
# never had the product: made with wineboot -i in a temporary folder, served
# by its own wineserver, and removed with everything installed in it (a
# service included) when COMMAND ends. Call it inside the test sandbox, so
# that this wineserver's sockets stay in the private network namespace.
#   fresh_prefix_run.sh COMMAND [args...]
set -euo pipefail
export PATH=/usr/lib/wine:$PATH
prefix=$(mktemp -d "${TMPDIR:-/tmp}/qs-fresh-prefix.XXXXXX")
export WINEPREFIX=$prefix
cleanup() {
  WINEDEBUG=-all wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1 </dev/null
wineserver -w
wineserver -p
# Wine's own background processes start now, away from the runner's pipes.
wine64 wineboot >/dev/null 2>&1 </dev/null
status=0
"$@" || status=$?
exit $status
