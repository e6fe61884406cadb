# Shared set-up for the velmo scripts: packages, build, Wine prefix, display.
# Sourced, not run. Every step is idempotent and quiet when nothing is missing.

VELMO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The product: build/velmo.exe, 32-bit, whatever the tests run on.
VELMO_PRODUCT=$VELMO_ROOT/build
source "$VELMO_ROOT/scripts/wine-env.sh"

velmo_log() { printf '[velmo] %s\n' "$*" >&2; }
VELMO_SUDO=""
[ "$(id -u)" -ne 0 ] && VELMO_SUDO=sudo

# Debian packages the build and the tests need.
VELMO_PACKAGES="g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
 wine wine32:i386 wine64 xvfb xauth libodbc2:i386 fonts-wine imagemagick cmake make file locales
 python3 unzip"
# The 64-bit test build, for a kernel that runs no 32-bit code.
VELMO_PACKAGES_X86_64="g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 libodbc2"
# The tests run in both user interface languages.
VELMO_LOCALES="en_US.UTF-8 ru_RU.UTF-8"

velmo_ensure_packages() {
    velmo_install $VELMO_PACKAGES || return 1
    velmo_wine_env
    if [ "$VELMO_ARCH" = x86_64 ]; then
        velmo_install $VELMO_PACKAGES_X86_64 || return 1
    fi
    velmo_ensure_locales
}

velmo_ensure_locales() {
    local l missing=()
    for l in $VELMO_LOCALES; do
        locale -a 2>/dev/null | grep -qix "$(echo "$l" | sed 's/UTF-8/utf8/')" || missing+=("$l")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    velmo_log "generating locales: ${missing[*]}"
    for l in "${missing[@]}"; do
        grep -q "^$l UTF-8" /etc/locale.gen 2>/dev/null || echo "$l UTF-8" | $VELMO_SUDO tee -a /etc/locale.gen >/dev/null
    done
    $VELMO_SUDO locale-gen >/dev/null
}

velmo_install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    velmo_log "installing: ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || $VELMO_SUDO dpkg --add-architecture i386
    $VELMO_SUDO apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $VELMO_SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# Builds the 32-bit product with its tests; where the tests must run 64-bit,
# the product alone and then the 64-bit tree with the tests.
velmo_build() {
    if [ "$VELMO_ARCH" = i686 ]; then
        velmo_build_tree "$VELMO_BUILD" i686 -DVELMO_TESTS=ON -DVELMO_BENCH=ON
    else
        velmo_build_tree "$VELMO_PRODUCT" i686 -DVELMO_TESTS=OFF -DVELMO_BENCH=OFF || return 1
        velmo_build_tree "$VELMO_BUILD" x86_64 -DVELMO_TESTS=ON -DVELMO_BENCH=ON \
            -DVELMO_PRODUCT_EXE="$VELMO_PRODUCT/velmo.exe"
    fi
}

velmo_build_tree() {  # dir arch cmake-options...
    local dir=$1 arch=$2
    shift 2
    cmake -S "$VELMO_ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$VELMO_ROOT/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null || return 1
    cmake --build "$dir" -j "$(nproc)" -- --no-print-directory | grep -v -E '^\[ *[0-9]+%\]' || true
    [ "${PIPESTATUS[0]}" -eq 0 ]
}

# Starts Xvfb on a free display when there is none; sets VELMO_OWN_DISPLAY=1
# then, and the caller releases it with velmo_release (for example in its
# own EXIT trap).
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
    "$VELMO_WINE" wineboot.exe -i >/dev/null 2>&1
    wineserver -w
    # Debian's Wine finds fonts-wine's Marlett (the caption buttons) only here.
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    "$VELMO_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    "$VELMO_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    "$VELMO_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
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
    "$VELMO_WINE" cmd.exe /c exit >/dev/null 2>&1 </dev/null
}

velmo_setup() {
    velmo_ensure_packages || return 1
    velmo_build || return 1
    velmo_ensure_display
    velmo_ensure_prefix
    velmo_warm_wine
}
