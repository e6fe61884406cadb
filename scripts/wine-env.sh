# The Wine environment of every velmo script, in one place. POSIX sh, sourced
# by lib.sh and by winerun; VELMO_ROOT must be set.
#
# Wine's 32-bit loader is a 32-bit Linux program. On a kernel that runs no
# 32-bit code (no IA-32 emulation) it cannot start, and neither can any 32-bit
# Windows program; there the tests run a 64-bit build of the same sources
# under the 64-bit loader, and the 32-bit velmo.exe is built beside it.

# Sets VELMO_ARCH (i686 or x86_64), VELMO_WINE and, for x86_64, WINELOADER.
velmo_wine_arch() {
    if [ -n "${VELMO_ARCH:-}" ]; then
        :
    elif [ ! -x /usr/lib/wine/wine ] || /usr/lib/wine/wine --version >/dev/null 2>&1; then
        VELMO_ARCH=i686
    else
        VELMO_ARCH=x86_64
    fi
    if [ "$VELMO_ARCH" = x86_64 ]; then
        VELMO_WINE=/usr/lib/wine/wine64
        export WINELOADER="$VELMO_WINE"
    else
        VELMO_WINE=wine
    fi
    export VELMO_ARCH VELMO_WINE
}

# Sets the build tree of the tests (VELMO_BUILD) and the Wine prefix in it.
velmo_wine_env() {
    velmo_wine_arch
    if [ -z "${VELMO_BUILD:-}" ]; then
        VELMO_BUILD="$VELMO_ROOT/build"
        [ "$VELMO_ARCH" = x86_64 ] && VELMO_BUILD="$VELMO_ROOT/build/x86_64"
    fi
    export VELMO_BUILD
    export WINEPREFIX="${WINEPREFIX:-$VELMO_BUILD/wineprefix}"
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
    export WINEARCH="${WINEARCH:-win64}"
}
