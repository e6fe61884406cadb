# Shared set-up for the velmo scripts: packages, build, Wine prefix, display.
# Sourced, not run. Every step is idempotent and quiet when nothing is missing.

VELMO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VELMO_BUILD=${VELMO_BUILD:-$VELMO_ROOT/build}

export WINEPREFIX=${WINEPREFIX:-$VELMO_BUILD/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=${WINEARCH:-win64}

velmo_log() { printf '[velmo] %s\n' "$*" >&2; }

# Debian packages the build and the tests need.
VELMO_PACKAGES="g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
 wine wine32:i386 wine64 xvfb xauth libodbc2:i386 fonts-wine imagemagick cmake make file"

velmo_ensure_packages() {
    local missing=() p
    for p in $VELMO_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    velmo_log "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    $sudo apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

velmo_build() {
    cmake -S "$VELMO_ROOT" -B "$VELMO_BUILD" \
        -DCMAKE_TOOLCHAIN_FILE="$VELMO_ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
    cmake --build "$VELMO_BUILD" -j "$(nproc)" -- --no-print-directory | grep -v -E '^\[ *[0-9]+%\]' || true
    [ "${PIPESTATUS[0]}" -eq 0 ]
}

# Starts Xvfb on a free display when there is none; sets VELMO_OWN_DISPLAY=1 then.
velmo_ensure_display() {
    VELMO_OWN_DISPLAY=0
    [ -n "${DISPLAY:-}" ] && return 0
    local n=90
    while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    VELMO_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 50); do
        [ -e /tmp/.X11-unix/X$n ] && break
        sleep 0.1
    done
    VELMO_OWN_DISPLAY=1
    trap 'velmo_release' EXIT
}

velmo_release() {
    wineserver -k >/dev/null 2>&1 || true
    [ -n "${VELMO_XVFB_PID:-}" ] && kill "$VELMO_XVFB_PID" 2>/dev/null
    return 0
}

# One wineboot per new prefix; crash dialog off; Wine draws its own title bars.
velmo_ensure_prefix() {
    [ -f "$WINEPREFIX/.velmo-ready" ] && return 0
    velmo_log "creating Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    # Debian's Wine finds fonts-wine's Marlett (the caption buttons) only here.
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.velmo-ready"
}

# Starts a persistent wineserver and Wine's own services with their output
# detached. A server that a client started on its own exits when the last
# client leaves; the next test then starts the services again, and they
# inherit that test's pipes, so CTest waits until they exit. "wineserver -p"
# does not change a server already running, hence the restart.
velmo_warm_wine() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    wineserver -p >/dev/null 2>&1 </dev/null
    wine cmd.exe /c exit >/dev/null 2>&1 </dev/null
}

velmo_setup() {
    velmo_ensure_packages || return 1
    velmo_build || return 1
    velmo_ensure_display
    velmo_ensure_prefix
    velmo_warm_wine
}
