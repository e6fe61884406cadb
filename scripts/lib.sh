# Shared set-up for the velmo scripts: packages, build, Wine prefix, display.
# Sourced, not run. Every step is idempotent and quiet when nothing is missing.

VELMO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The product: build/velmo.exe, 32-bit, whatever the tests run on.
VELMO_PRODUCT=$VELMO_ROOT/build
source "$VELMO_ROOT/scripts/wine-env.sh"

velmo_log() { printf '[velmo] %s\n' "$*" >&2; }
VELMO_SUDO=""
[ "$(id -u)" -ne 0 ] && VELMO_SUDO=sudo

# Debian packages the build and the tests need: both toolchains and both
# Wine loaders everywhere (the 32-bit one is installed even where the kernel
# cannot run it), and each ODBC driver manager by its architecture (a bare
# name is satisfied by the other architecture's package).
VELMO_PACKAGES="g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
 g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
 wine wine32:i386 wine64 xvfb xauth libodbc2:i386 libodbc2:amd64 fonts-wine imagemagick cmake make file
 locales python3 unzip openssl osslsigncode"
# The tests run in these user interface languages (German for the texts file).
VELMO_LOCALES="en_US.UTF-8 ru_RU.UTF-8 de_DE.UTF-8"

velmo_fail() { velmo_log "$*"; return 1; }

velmo_ensure_packages() {
    velmo_install $VELMO_PACKAGES || return 1
    velmo_wine_env
    velmo_ensure_locales
}

velmo_has_locale() {
    locale -a 2>/dev/null | grep -qix "$(echo "$1" | sed 's/UTF-8/utf8/')"
}

velmo_ensure_locales() {
    local l missing=()
    for l in $VELMO_LOCALES; do
        velmo_has_locale "$l" || missing+=("$l")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    velmo_log "generating locales: ${missing[*]}"
    for l in "${missing[@]}"; do
        if ! grep -q "^$l UTF-8" /etc/locale.gen 2>/dev/null; then
            echo "$l UTF-8" | $VELMO_SUDO tee -a /etc/locale.gen >/dev/null || velmo_fail "cannot add $l to /etc/locale.gen" || return 1
        fi
    done
    $VELMO_SUDO locale-gen >/dev/null || velmo_fail "locale-gen failed" || return 1
    for l in "${missing[@]}"; do
        velmo_has_locale "$l" || velmo_fail "locale $l still missing after locale-gen" || return 1
    done
}

velmo_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

velmo_install() {
    local missing=() p
    for p in "$@"; do
        velmo_installed "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    velmo_log "installing: ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $VELMO_SUDO dpkg --add-architecture i386 || velmo_fail "cannot add the i386 architecture" || return 1
    fi
    # A mirror caught mid-sync serves an index that does not match its
    # release file; apt then leaves that index out. Tried again a few times.
    local tries partial=1 errors
    for tries in 1 2 3; do
        errors=$($VELMO_SUDO apt-get update -q 2>&1 >/dev/null) && { partial=0; break; }
        [ "$tries" -lt 3 ] && sleep 15
    done
    if [ "$partial" = 1 ]; then
        velmo_log "apt-get update could not read every index:"
        grep '^E:' <<<"$errors" | head -n 3 >&2
    fi
    if ! DEBIAN_FRONTEND=noninteractive $VELMO_SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" \
        >/dev/null; then
        # Without one architecture's security index, its packages and their
        # other-architecture siblings must come from the release itself to
        # have one version.
        [ "$partial" = 1 ] || velmo_fail "installing ${missing[*]} failed" || return 1
        local release
        release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
        [ -n "$release" ] || velmo_fail "installing ${missing[*]} failed" || return 1
        velmo_log "installing from $release alone, since an index was missing"
        DEBIAN_FRONTEND=noninteractive $VELMO_SUDO apt-get install -t "$release" -y -q --no-install-recommends \
            "${missing[@]}" >/dev/null || velmo_fail "installing ${missing[*]} failed" || return 1
    fi
    for p in "${missing[@]}"; do
        velmo_installed "$p" || velmo_fail "package $p is not installed" || return 1
    done
}

# Both trees with their tests: build/ (i686, whose velmo.exe is the product)
# and build/x86_64 (given the product's path for the checks of both exes).
velmo_build() {
    velmo_build_tree "$(velmo_tree i686)" i686 || return 1
    velmo_build_tree "$(velmo_tree x86_64)" x86_64 -DVELMO_PRODUCT_EXE="$(velmo_tree i686)/velmo.exe"
}

# Configures and builds one tree; the progress lines are left out, the
# compiler's messages are not, and the status is the build's own.
velmo_build_tree() {  # dir arch cmake-options...
    local dir=$1 arch=$2 rc
    shift 2
    cmake -S "$VELMO_ROOT" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$VELMO_ROOT/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DVELMO_TESTS=ON -DVELMO_BENCH=ON "$@" >/dev/null \
        || velmo_fail "configuring the $arch tree in $dir failed" || return 1
    cmake --build "$dir" -j "$(nproc)" -- --no-print-directory | { grep -v -E '^\[ *[0-9]+%\]' || true; }
    rc=${PIPESTATUS[0]}
    [ "$rc" -eq 0 ] || velmo_fail "building the $arch tree in $dir failed ($rc)"
}

# The architecture whose programs scripts/velmo and bench/run start
# (VELMO_RUN_ARCH) and its tree (VELMO_BUILD): VELMO_ARCH when set, else i686
# where 32-bit programs run, else x86_64. Fails when the 32-bit loader fails
# for any reason but a kernel without 32-bit support.
velmo_select_arch() {
    velmo_probe_i686
    case $? in
        0) VELMO_I686_RUNS=1 ;;
        1) VELMO_I686_RUNS=0 ;;
        *) velmo_fail "Wine's 32-bit loader fails: $VELMO_LOADER32_ERROR" || return 1 ;;
    esac
    case ${VELMO_ARCH:-} in
        "") VELMO_RUN_ARCH=x86_64; [ "$VELMO_I686_RUNS" = 1 ] && VELMO_RUN_ARCH=i686 ;;
        i686)
            [ "$VELMO_I686_RUNS" = 1 ] || velmo_fail "VELMO_ARCH=i686: this kernel runs no 32-bit programs" || return 1
            VELMO_RUN_ARCH=i686 ;;
        x86_64) VELMO_RUN_ARCH=x86_64 ;;
        *) velmo_fail "VELMO_ARCH must be i686 or x86_64, not $VELMO_ARCH" || return 1 ;;
    esac
    VELMO_BUILD=$(velmo_tree "$VELMO_RUN_ARCH")
    velmo_wine_for "$VELMO_RUN_ARCH"
}

# Starts Xvfb on a free display when there is none; sets VELMO_OWN_DISPLAY=1
# then, and the caller releases it with velmo_release (for example in its
# own EXIT trap). Fails when the server does not come up.
velmo_ensure_display() {
    VELMO_OWN_DISPLAY=0
    [ -n "${DISPLAY:-}" ] && return 0
    velmo_start_display 1280x800 || return 1
    VELMO_OWN_DISPLAY=1
}

# Starts an Xvfb screen of the given size (WxH) on a free display and
# exports DISPLAY; its process is VELMO_XVFB_PID.
velmo_start_display() {  # WxH
    local n=90 i
    while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 "${1}x24" -nolisten tcp >/dev/null 2>&1 &
    VELMO_XVFB_PID=$!
    for i in $(seq 1 100); do
        [ -e /tmp/.X11-unix/X$n ] && break
        kill -0 "$VELMO_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -e /tmp/.X11-unix/X$n ] || ! kill -0 "$VELMO_XVFB_PID" 2>/dev/null; then
        kill "$VELMO_XVFB_PID" 2>/dev/null
        VELMO_XVFB_PID=""
        velmo_fail "Xvfb did not start on :$n"
        return 1
    fi
    export DISPLAY=":$n"
}

velmo_release() {
    wineserver -k >/dev/null 2>&1 || true
    [ -n "${VELMO_XVFB_PID:-}" ] && kill "$VELMO_XVFB_PID" 2>/dev/null
    return 0
}

# One wineboot per new prefix; crash dialog off; Wine draws its own title
# bars. The prefix is marked ready only when every step succeeded.
velmo_ensure_prefix() {
    [ -f "$WINEPREFIX/.velmo-ready" ] && return 0
    velmo_log "creating Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX" || return 1
    "$VELMO_WINE" wineboot.exe -i >/dev/null 2>&1 || velmo_fail "wineboot failed in $WINEPREFIX" || return 1
    wineserver -w
    # Debian's Wine finds fonts-wine's Marlett (the caption buttons) only here.
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    "$VELMO_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 \
        && "$VELMO_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 \
        && "$VELMO_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1 \
        || velmo_fail "cannot set the prefix's registry in $WINEPREFIX" || return 1
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
    velmo_ensure_solo_prefix || return 1
    wineserver -p >/dev/null 2>&1 </dev/null || velmo_fail "cannot start the wineserver" || return 1
    # Seen failing once, right after a run had killed the previous server,
    # and not again in a dozen tries: a few tries, then the status is told.
    local tries rc
    for tries in 1 2 3; do
        "$VELMO_WINE" cmd.exe /c exit >/dev/null 2>&1 </dev/null
        rc=$?
        [ "$rc" -eq 0 ] && break
    done
    [ "$rc" -eq 0 ] || velmo_fail "Wine cannot run cmd.exe in $WINEPREFIX (status $rc)" || return 1
    # Wine's desktop process ends a second after the last program on it and
    # is started again by the next one, with that one's output: a test's pipe
    # stays open while it runs. This idle program keeps it up, detached.
    [ -f "$VELMO_BUILD/wine_desktop.exe" ] || velmo_fail "no $VELMO_BUILD/wine_desktop.exe" || return 1
    "$VELMO_WINE" "$VELMO_BUILD/wine_desktop.exe" >/dev/null 2>&1 </dev/null &
}

# The prefix of the tests that need a wineserver of their own
# (tests/e2e/solo_wine.sh): a copy of the shared one, taken while no server
# runs for it, and taken again when the shared one is made anew.
velmo_ensure_solo_prefix() {
    local solo=$WINEPREFIX-solo
    [ "${WINEPREFIX##*-}" = solo ] && return 0
    [ -f "$solo/.velmo-ready" ] && [ ! "$WINEPREFIX/.velmo-ready" -nt "$solo/.velmo-ready" ] && return 0
    rm -rf "$solo"
    cp -a --reflink=auto "$WINEPREFIX" "$solo" || velmo_fail "cannot copy $WINEPREFIX to $solo" || return 1
    touch "$solo/.velmo-ready"
}

# The lock a test run's ctest holds (scripts/test): one run at a time in a
# tree, since runs share the display and the wineserver.
VELMO_CTEST_LOCK=$VELMO_ROOT/build/.ctest-lock

velmo_setup() {
    # The set-up restarts the wineserver: never under a running ctest.
    mkdir -p "$VELMO_ROOT/build" || return 1
    if ! flock -n -E 75 "$VELMO_CTEST_LOCK" true; then
        velmo_fail "a test run in $VELMO_ROOT holds build/.ctest-lock (its ctest still runs): not started"
        return 1
    fi
    velmo_ensure_packages || return 1
    velmo_build || return 1
    velmo_select_arch || return 1
    velmo_ensure_display || return 1
    velmo_ensure_prefix || return 1
    velmo_warm_wine
}
