#!/usr/bin/env bash
# Runs a test program under Wine on an Xvfb screen and a fresh wineserver of
# its own, in the prefix build/wineprefix-solo (a copy of the shared one):
#   solo_wine.sh [--at DPI:WxH]... BUILD_DIR PROGRAM [ARGS...]
# Each --at runs the program once, in order, on a new screen of that size
# and a wineserver started after LogPixels was set to DPI (Wine reads it
# then); VELMO_TEST_DPI and VELMO_TEST_SCREEN tell the program which.
# Without --at: once, at 96 dpi on 1280x800. The status is the first failing
# run's, else 0. LogPixels is set back to 96 at the end.
set -u
source "$(dirname "$0")/../../scripts/lib.sh"
runs=()
while [ $# -gt 0 ]; do
    case $1 in
        --at) runs+=("$2"); shift 2 ;;
        *) break ;;
    esac
done
[ $# -ge 2 ] || { echo "usage: solo_wine.sh [--at DPI:WxH]... BUILD_DIR PROGRAM [ARGS...]" >&2; exit 2; }
[ ${#runs[@]} -gt 0 ] || runs=(96:1280x800)
VELMO_BUILD=$1
shift
velmo_wine_env
export WINEPREFIX=$WINEPREFIX-solo
[ -f "$WINEPREFIX/.velmo-ready" ] || { echo "no prefix $WINEPREFIX: scripts/lib.sh makes it" >&2; exit 2; }
velmo_wine_for "$(velmo_pe_arch "$1")"

# The first program on a new wineserver: seen failing once right after the
# server was ended (not again in 45 tries). Tried three times, and each
# failure told with Wine's status and what it said.
set_dpi() {
    local tries out rc
    for tries in 1 2 3; do
        out=$(WINEDEBUG=err+all,fixme-all "$VELMO_WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels \
            /t REG_DWORD /d "$1" /f 2>&1 </dev/null)
        rc=$?
        [ "$rc" -eq 0 ] && return 0
        echo "setting LogPixels to $1 failed (try $tries): Wine's status $rc" >&2
        printf '%s\n' "$out" | head -n 10 | sed 's/^/  /' >&2
    done
    return 1
}
stop() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    velmo_release
    VELMO_XVFB_PID=""
}
cleanup() {
    set_dpi 96
    stop
}
trap cleanup EXIT
status=0
for run in "${runs[@]}"; do
    dpi=${run%%:*} screen=${run#*:}
    stop
    velmo_start_display "$screen" || exit 2
    set_dpi "$dpi" || { echo "cannot set LogPixels to $dpi" >&2; exit 2; }
    # Restarted: the new server reads LogPixels; its services detached.
    velmo_warm_wine || exit 2
    echo "== $(basename "$1") at $dpi dpi on a $screen screen"
    VELMO_TEST_DPI=$dpi VELMO_TEST_SCREEN=$screen "$VELMO_ROOT/scripts/winerun" "$@"
    rc=$?
    [ "$status" -eq 0 ] && status=$rc
done
exit $status
