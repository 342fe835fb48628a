# Shared by the scripts in this folder: the packages the build needs, the build
# folders, which Windows programs this host can run, and the Wine environment
# they run in. Sourced, not run.

KV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KV_BUILD="$KV_ROOT/build/wine"     # the "wine" preset's folder: the 32-bit build, what ships
KV_BUILD64="$KV_ROOT/build/wine64" # the "wine64" preset's folder: the 64-bit test build
KV_PREFIX="$KV_BUILD/wineprefix"
KV_PREFIX64="$KV_BUILD64/wineprefix"

# Debian/Ubuntu packages. Both builds: CMake, clang and lld (clang drives lld
# for the program's link), a virtual display, GoogleTest sources, Wine's own
# launcher scripts, zip and unzip for the release package. The 32-bit build: i686 MinGW-w64, and 32-bit Wine where it
# can run. The 64-bit build: x86-64 MinGW-w64 and 64-bit Wine.
KV_COMMON_PACKAGES=(cmake make clang lld wine fonts-wine xvfb googletest zip unzip)
KV_WIN32_BUILD_PACKAGES=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
KV_WIN32_RUN_PACKAGES=(wine32:i386)
KV_WIN64_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)
KV_BUILD_PACKAGES=("${KV_COMMON_PACKAGES[@]}" "${KV_WIN32_BUILD_PACKAGES[@]}" "${KV_WIN32_RUN_PACKAGES[@]}")

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

# The presets (version 6) need CMake 3.25 or later: Debian 12 has 3.25.1,
# Ubuntu 22.04 LTS only 3.22.
kv_require_cmake() {
    local version
    version=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9][0-9.]*\).*/\1/p')
    if [ -z "$version" ] || [ "$(printf '%s\n' 3.25 "$version" | sort -V | head -n 1)" != 3.25 ]; then
        kv_say "CMake ${version:-(not found)} is too old: the build needs 3.25 or later (Debian 12 has it)"
        return 1
    fi
}

# Configures and builds a preset: wine (the default) or wine64. Extra
# arguments go to the build (--target kronvel, say). One build at a time in
# this tree: scripts started together take turns here.
kv_build() {
    local preset=${1:-wine}
    shift || true
    kv_require_cmake
    cd "$KV_ROOT"
    kv_say "configuring and building (build/$preset)"
    # shellcheck disable=SC2016 # expanded by the inner shell
    kv_with_lock build "another build in this tree" \
        bash -c 'cmake --preset "$1" >/dev/null && cmake --build --preset "$@"' build "$preset" "$@"
}

# Whether this host runs 32-bit x86 code natively, found by running it: a
# 143-byte i386 Linux program asks the kernel for its machine name (newuname)
# and exits with 42 when the kernel says x86_64, 43 otherwise. A kernel without
# IA-32 emulation refuses to start it ("Exec format error") or kills it; an
# emulator registered for i386 programs through binfmt_misc (qemu-i386) runs it
# but reports its own machine, i686, and Wine does not run under one. Sets
# KV_I386_WHY to what was seen.
kv_runs_i386() {
    local probe out status
    mkdir -p "$KV_ROOT/build"
    probe=$(mktemp "$KV_ROOT/build/.i386-probe.XXXXXX") || { KV_I386_WHY="no room for the probe"; return 1; }
    # ELF header, one program header (read+execute, at 0x08048000), then:
    #   sub esp, 400 / mov ebx, esp / mov eax, 122 / int 0x80     newuname(esp)
    #   cmp dword [esp+260], "x86_" / jne 1f                       machine field
    #   cmp word [esp+264], "64" / jne 1f
    #   mov ebx, 42 / jmp 2f / 1: mov ebx, 43 / 2: mov eax, 1 / int 0x80   exit(ebx)
    printf '%b' \
        '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00' \
        '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x28\x00' \
        '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x8f\x00\x00\x00' \
        '\x8f\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
        '\x81\xec\x90\x01\x00\x00\x89\xe3\xb8\x7a\x00\x00\x00\xcd\x80' \
        '\x81\xbc\x24\x04\x01\x00\x00\x78\x38\x36\x5f\x75\x13' \
        '\x66\x81\xbc\x24\x08\x01\x00\x00\x36\x34\x75\x07' \
        '\xbb\x2a\x00\x00\x00\xeb\x05\xbb\x2b\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
    chmod +x "$probe"
    out=$("$probe" 2>&1) && status=0 || status=$?
    rm -f "$probe"
    case $status in
    42) KV_I386_WHY="a 143-byte i386 program ran natively"; return 0 ;;
    43) KV_I386_WHY="an i386 program ran only under an emulator (it reported a machine other than x86_64)" ;;
    126 | 127) KV_I386_WHY="the kernel will not start an i386 program (${out##*: })" ;;
    *)
        if [ "$status" -gt 128 ]; then
            KV_I386_WHY="an i386 program was killed by signal $(kill -l "$status" 2>/dev/null || echo $((status - 128)))"
        else
            KV_I386_WHY="an i386 program exited with $status instead of 42"
        fi
        ;;
    esac
    return 1
}

# Which suites this host runs: KV_MODE is "both" (32-bit and 64-bit) or "x64"
# (64-bit only, with the 32-bit program's file checked but not run), and
# KV_MODE_WHY says why. KRONVEL_TEST_ARCH=x64 asks for the 64-bit-only mode.
kv_test_mode() {
    local machine
    machine=$(uname -m)
    if [ "$machine" != x86_64 ]; then
        kv_say "the tests run on x86-64 Linux hosts; this one is $machine"
        return 1
    fi
    case "${KRONVEL_TEST_ARCH:-}" in
    x64)
        KV_MODE=x64
        KV_MODE_WHY="KRONVEL_TEST_ARCH=x64 asks for it"
        ;;
    "" | auto)
        if kv_runs_i386; then
            KV_MODE=both
            KV_MODE_WHY="this host runs 32-bit x86 code: $KV_I386_WHY"
        else
            KV_MODE=x64
            KV_MODE_WHY="this host runs no 32-bit x86 code: $KV_I386_WHY"
        fi
        ;;
    *)
        kv_say "KRONVEL_TEST_ARCH is \"$KRONVEL_TEST_ARCH\": set it to x64, or leave it unset to decide by the host"
        return 1
        ;;
    esac
}

# The Wine environment for a prefix of either kind (win32 or win64): private to
# its build folder, quiet, with the .NET and HTML engine installers that a new
# prefix offers switched off. KV_WINE is the loader to start programs with:
# Debian's "wine" launcher would take the 32-bit one whenever it is installed,
# also where it cannot run.
kv_wine_env() { # win32|win64 prefix
    case "$1" in
    win32) KV_WINE=/usr/lib/wine/wine ;;
    win64) KV_WINE=/usr/lib/wine/wine64 ;;
    *) kv_say "kv_wine_env: unknown Wine architecture $1"; return 1 ;;
    esac
    export WINEPREFIX="$2" WINEARCH="$1" WINELOADER="$KV_WINE"
    export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
}

# Starts a persistent server and Wine's own background processes for the
# prefix (creating it the first time, which takes some seconds), so that each
# program started later is quick. None of them may inherit our output or the
# lock: whatever they inherit they keep open for as long as they run, and a pipe
# held open that way never ends for its reader (ctest, or a caller's "| tail").
# Wine's first start goes to a log beside the prefix; if it fails, the log says
# why. A server this call starts is recorded for kv_wine_stop; one that was
# already running belongs to someone else and is left alone.
KV_WINE_PREFIXES=() # the prefixes whose servers we started
kv_wine_start() {
    local log="$WINEPREFIX.log" status=0
    mkdir -p "$WINEPREFIX" # the server does not start for a prefix folder that does not exist
    (
        flock 9
        # wineserver -p fails when the prefix's server is already running.
        wineserver -p </dev/null >/dev/null 2>&1 9>&- || exit 3
        "$KV_WINE" wineboot --init </dev/null >"$log" 2>&1 9>&- || {
            status=$?
            kv_say "Wine ($WINEARCH, $KV_WINE) could not start in $WINEPREFIX (exit status $status); from $log:"
            tail -5 "$log" >&2
            WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null
            exit 1
        }
        # Debian's Wine 8 does not find its own fonts: caption buttons then
        # read "0 1 r" and dialogs lose Tahoma. Copies in the prefix are found.
        cp -n /usr/share/wine/fonts/{marlett,tahoma,tahomabd}.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    ) 9>"$WINEPREFIX.lock" || status=$?
    case $status in
    0) KV_WINE_PREFIXES+=("$WINEPREFIX") ;;
    3) ;;
    *) return 1 ;;
    esac
}

# Ends the servers (and with them the programs) of the prefixes kv_wine_start
# started, and nothing else.
kv_wine_stop() {
    local prefix
    for prefix in "${KV_WINE_PREFIXES[@]}"; do
        WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    done
    KV_WINE_PREFIXES=()
}

# Starts Xvfb on a free display when there is no display, and exports DISPLAY
# once it accepts connections; kv_display_stop ends it. Xvfb picks the display
# itself (-displayfd), so that two scripts starting at once cannot collide.
KV_XVFB_PID=""
kv_display_start() {
    [ -n "${DISPLAY:-}" ] && return 0
    command -v Xvfb >/dev/null || { kv_say "no DISPLAY, and no Xvfb to start a virtual one (package xvfb)"; return 1; }
    local out log n="" i
    out=$(mktemp) log=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp </dev/null >"$log" 2>&1 3>"$out" &
    KV_XVFB_PID=$!
    for i in $(seq 200); do # up to 10 s
        n=$(head -n 1 "$out")
        [ -n "$n" ] && [ -e "/tmp/.X11-unix/X$n" ] && break
        n=""
        kill -0 "$KV_XVFB_PID" 2>/dev/null || break
        sleep 0.05
    done
    if [ -z "$n" ]; then
        if kill -0 "$KV_XVFB_PID" 2>/dev/null; then
            kv_say "Xvfb opened no display within 10 s; stopped it"
        else
            kv_say "Xvfb failed to start:"
            tail -5 "$log" >&2
        fi
        kv_display_stop
        rm -f "$out" "$log"
        return 1
    fi
    rm -f "$out" "$log"
    export DISPLAY=":$n"
}

kv_display_stop() {
    if [ -n "$KV_XVFB_PID" ]; then
        kill "$KV_XVFB_PID" 2>/dev/null || true
        wait "$KV_XVFB_PID" 2>/dev/null || true
        KV_XVFB_PID=""
    fi
}

# Runs a command holding an exclusive lock on build/.NAME.lock, and says so
# when it has to wait for another holder. The lock is held by flock itself,
# never by the command's processes, so that nothing the command leaves running
# (a Wine server) can keep it.
kv_with_lock() { # name what-holds-it command [arguments]
    local lock="$KV_ROOT/build/.$1.lock" holder=$2 status=0
    shift 2
    mkdir -p "$KV_ROOT/build"
    flock --nonblock --close --conflict-exit-code 75 "$lock" "$@" || status=$?
    if [ $status -eq 75 ]; then
        kv_say "waiting for $holder to finish ($lock)"
        status=0
        flock --close "$lock" "$@" || status=$?
    fi
    return $status
}

# Under set -e, a failing command ends a script: it says which, and where. (A
# function of ours that fails has said why before it returns.)
kv_report_failures() {
    set -o errtrace
    shopt -s inherit_errexit
    trap 'kv_failed $? "$BASH_COMMAND" "${BASH_SOURCE[0]##*/}" $LINENO' ERR
}
kv_failed() { # status command file line
    case "$2" in
    return*) kv_say "stopped (exit status $1) at $3 line $4" ;;
    *) kv_say "failed (exit status $1): $2 ($3 line $4)" ;;
    esac
}
