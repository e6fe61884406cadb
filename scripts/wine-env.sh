# The Wine environment of every velmo script, in one place. POSIX sh, sourced
# by lib.sh and by winerun; VELMO_ROOT must be set.
#
# Both trees are built everywhere: build/ (i686, the product) and
# build/x86_64. Wine's 32-bit loader is a 32-bit Linux program: on a kernel
# that runs no 32-bit code it cannot start, and neither can any 32-bit
# Windows program. 64-bit programs run under the 64-bit loader everywhere.

VELMO_LOADER32=/usr/lib/wine/wine
VELMO_LOADER64=/usr/lib/wine/wine64

# Whether Wine's 32-bit loader runs here: 0 yes; 1 this kernel runs no 32-bit
# programs; 2 any other failure (its output in VELMO_LOADER32_ERROR).
velmo_probe_i686() {
    # The shell's own message is read: in English whatever the caller's locale.
    VELMO_LOADER32_ERROR=$(LC_ALL=C; "$VELMO_LOADER32" --version 2>&1) && return 0
    case $VELMO_LOADER32_ERROR in
        *"Exec format error"*) return 1 ;;
    esac
    return 2
}

# The build tree of an architecture's suite.
velmo_tree() {
    if [ "$1" = x86_64 ]; then echo "$VELMO_ROOT/build/x86_64"; else echo "$VELMO_ROOT/build"; fi
}

# Sets VELMO_WINE (and WINELOADER) to run programs of an architecture.
velmo_wine_for() {
    if [ "$1" = x86_64 ]; then
        VELMO_WINE=$VELMO_LOADER64
        # Wine derives the 32-bit loader from this name where it exists.
        WINELOADER=$VELMO_LOADER64
        export WINELOADER
    else
        VELMO_WINE=wine
        unset WINELOADER
    fi
    export VELMO_WINE
}

# The architecture of a PE file (i686 or x86_64); empty when it is none.
velmo_pe_arch() {
    [ -f "$1" ] || return 0
    case $(file -b "$1") in
        "PE32 executable"*"Intel 80386"*) echo i686 ;;
        "PE32+ executable"*"x86-64"*) echo x86_64 ;;
    esac
}

# The prefix and settings shared by both suites and every script.
velmo_wine_env() {
    export WINEPREFIX="${WINEPREFIX:-$VELMO_ROOT/build/wineprefix}"
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
    export WINEARCH="${WINEARCH:-win64}"
}

# The process id of the wineserver of WINEPREFIX; nothing when none runs.
velmo_wineserver_pid() {
    for p in $(pgrep -f wineserver); do
        # A process may be gone by the time its environment is read.
        { tr '\0' '\n' < "/proc/$p/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && { echo "$p"; return; }
    done
}
