# Shared by the scripts in this folder: the packages the build needs, the build
# folder, and the Wine environment the Windows programs run in. Sourced, not run.

KV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KV_BUILD="$KV_ROOT/build/wine"   # the "wine" preset's folder
KV_PREFIX="$KV_BUILD/wineprefix"

# Debian/Ubuntu packages: cross compiler (GCC compiles, clang drives lld for the
# program's link), Wine (32-bit), a virtual display, GoogleTest sources.
KV_BUILD_PACKAGES=(cmake make g++-mingw-w64-i686-posix binutils-mingw-w64-i686 clang lld wine wine32:i386 fonts-wine xvfb googletest)

kv_say() { printf 'kronvel: %s\n' "$*" >&2; }

kv_missing_packages() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || printf '%s\n' "$pkg"
    done
}

# Installs the missing packages when run as root; otherwise prints the command and fails.
kv_require_packages() {
    command -v dpkg-query >/dev/null || { kv_say "not a Debian/Ubuntu system: install ${*} by hand"; return 1; }
    local missing
    mapfile -t missing < <(kv_missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    local needs_i386=0 pkg
    for pkg in "${missing[@]}"; do [[ $pkg == *:i386 ]] && needs_i386=1; done
    local steps=()
    if [ $needs_i386 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        steps+=("dpkg --add-architecture i386")
    fi
    steps+=("apt-get update" "DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}")
    if [ "$(id -u)" -ne 0 ]; then
        kv_say "missing packages: ${missing[*]}"
        kv_say "install them with:"
        local step
        for step in "${steps[@]}"; do printf '  sudo %s\n' "${step/DEBIAN_FRONTEND=noninteractive /}" >&2; done
        return 1
    fi
    kv_say "installing ${missing[*]}"
    local step log
    log=$(mktemp)
    for step in "${steps[@]}"; do
        kv_say "+ $step"
        eval "$step" >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; kv_say "failed: $step"; return 1; }
    done
    rm -f "$log"
}

kv_build() {
    cd "$KV_ROOT"
    kv_say "configuring and building (build/wine)"
    cmake --preset wine >/dev/null
    cmake --build --preset wine
}

# The Wine environment for a prefix: private to the build folder, quiet, with
# the .NET and HTML engine installers that a new prefix offers switched off.
kv_wine_env() {
    export WINEPREFIX="$1" WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
}

# Starts a persistent server and Wine's own background processes for the
# prefix (creating it the first time, which takes some seconds), so that each
# program started later is quick. None of them may inherit our output or the
# lock: whatever they inherit they keep open for as long as they run, and a pipe
# held open that way never ends for its reader (ctest, or a caller's "| tail").
kv_wine_start() {
    mkdir -p "$WINEPREFIX" # the server does not start for a prefix folder that does not exist
    (
        flock 9
        # wineserver -p fails when the prefix's server is already running.
        if wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
            wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
            # Debian's Wine 8 does not find its own fonts: caption buttons then
            # read "0 1 r" and dialogs lose Tahoma. Copies in the prefix are found.
            cp -n /usr/share/wine/fonts/{marlett,tahoma,tahomabd}.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
        fi
    ) 9>"$WINEPREFIX.lock"
}

kv_wine_stop() {
    wineserver -k 2>/dev/null || true
}

# Starts Xvfb on a free display when there is no display; kv_display_stop ends it.
KV_XVFB_PID=""
kv_display_start() {
    [ -n "${DISPLAY:-}" ] && return 0
    command -v Xvfb >/dev/null || { kv_say "no DISPLAY and no Xvfb"; return 1; }
    local n=99
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    KV_XVFB_PID=$!
    local i
    for i in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        kill -0 "$KV_XVFB_PID" 2>/dev/null || { kv_say "Xvfb :$n failed to start"; return 1; }
        sleep 0.05
    done
    export DISPLAY=":$n"
}

kv_display_stop() {
    if [ -n "$KV_XVFB_PID" ]; then
        kill "$KV_XVFB_PID" 2>/dev/null || true
        wait "$KV_XVFB_PID" 2>/dev/null || true
        KV_XVFB_PID=""
    fi
}
