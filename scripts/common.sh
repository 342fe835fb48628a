# shellcheck shell=bash
# Shared by the scripts (sourced): the packages each job needs, the build,
# which Windows programs this host can run, and the Wine environment.

KV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages, one list per need: scripts/test and scripts/run install
# them; the other scripts say what is missing.
declare -A KV_PACKAGES=(
    [build]="cmake make clang lld g++-mingw-w64-i686-posix binutils-mingw-w64-i686 googletest python3 python3-pefile python3-asn1crypto"
    [build64]="g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64"
    [wine32]="wine fonts-wine wine32:i386"
    [wine64]="wine fonts-wine wine64"
    [display]="xvfb xauth"
    [guest]="qemu-system-x86 debvm"
    [screenshot]="imagemagick x11-utils xdotool"
    [checks]="shellcheck osslsigncode openssl softhsm2 libengine-pkcs11-openssl python3-jsonschema python3-yaml"
    [icon]="librsvg2-bin icoutils imagemagick fonts-dejavu-core"
)

# Each preset's Wine architecture, for scripts that choose one before CMake.
# shellcheck disable=SC2034 # read by the scripts that source this file
declare -A KV_PRESET_ARCH=([wine]=win32 [wine64]=win64)

kv_say() { printf 'kronvel: %s\n' "$*" >&2; }

# Under set -e, a failing command ends a script: it says which, and where.
kv_report_failures() {
    set -o errtrace && shopt -s inherit_errexit
    trap 'kv_say "failed (exit status $?): $BASH_COMMAND (${BASH_SOURCE[0]##*/} line $LINENO)"' ERR
}

# Installs the packages of the given needs (--install, as root) or names what
# is missing and fails. A failed install says which step failed and how to
# retry, keeps apt's first error line in KV_NEED_ERROR, and takes back an i386
# architecture it added: every later "apt-get update" would fail on it too.
kv_need() { # [--install] need...
    local install=0 need pkg missing=()
    [ "$1" != --install ] || { install=1; shift; }
    command -v dpkg-query >/dev/null || { kv_say "not a Debian system: install the packages of: $*"; return 1; }
    for need in "$@"; do
        for pkg in ${KV_PACKAGES[$need]}; do
            dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
        done
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    local apt="apt-get -o Acquire::Retries=3" added=0
    local steps=("$apt update" "$apt install -y ${missing[*]}")
    if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        steps=("dpkg --add-architecture i386" "${steps[@]}") added=1
    fi
    if [ $install -eq 0 ] || [ "$(id -u)" -ne 0 ]; then
        kv_say "missing packages: ${missing[*]}; install them with:"
        printf '  sudo %s\n' "${steps[@]}" >&2
        return 1
    fi
    local step out
    for step in "${steps[@]}"; do
        kv_say "+ $step"
        out=$(DEBIAN_FRONTEND=noninteractive $step 2>&1) && continue
        tail -20 <<<"$out" >&2
        KV_NEED_ERROR=$(grep -m1 '^E: ' <<<"$out" || tail -1 <<<"$out")
        kv_say "could not install ${missing[*]}: \"$step\" failed: $KV_NEED_ERROR"
        [ $added -eq 0 ] || dpkg --remove-architecture i386 2>/dev/null ||
            kv_say "the i386 architecture stays added: some i386 packages are installed"
        kv_say "to retry once the archive is whole again: $(printf 'sudo %s && ' "${steps[@]}" | sed 's/ && $//')"
        return 1
    done
}

# Runs a command holding build/.NAME.lock, and says so when it has to wait.
# flock holds the lock itself, so nothing the command leaves running keeps it.
kv_lock() { # name what-holds-it command...
    local lock="$KV_ROOT/build/.$1.lock"
    mkdir -p "$KV_ROOT/build"
    flock --nonblock --close "$lock" true || kv_say "waiting for $2 to finish ($lock)"
    flock --close "$lock" "${@:3}"
}

# Configures and builds a preset (targets may follow), one build at a time.
kv_build() { # preset [--target ...]
    kv_say "building build/$1"
    # shellcheck disable=SC2016 # expanded by the inner shell
    kv_lock build "another build in this tree" bash -c \
        'cd "$0" && cmake --preset "$1" >/dev/null && cmake --build --preset "$@" >/dev/null' "$KV_ROOT" "$@"
}

# Whether this host runs 32-bit x86 code, found by running some: a 143-byte
# i386 Linux program exits with 42 when the kernel names its machine x86_64, 43
# otherwise (an emulator such as qemu-i386, under which Wine does not run, says
# i686); a kernel without IA-32 emulation will not start it or kills it.
# KV_I386_WHY says what was seen.
kv_runs_i386() {
    local probe out status
    mkdir -p "$KV_ROOT/build"
    probe=$(mktemp "$KV_ROOT/build/.i386-probe.XXXXXX")
    # In hexadecimal: the ELF header and one program header (read+execute, at
    # 0x08048000), then the code:
    #   sub esp, 400 / mov ebx, esp / mov eax, 122 / int 0x80     newuname(esp)
    #   cmp dword [esp+260], "x86_" / jne 1f                       machine field
    #   cmp word [esp+264], "64" / jne 1f
    #   mov ebx, 42 / jmp 2f / 1: mov ebx, 43 / 2: mov eax, 1 / int 0x80   exit(ebx)
    basenc --base16 -d >"$probe" <<'END'
7F454C46010101000000000000000000020003000100000054800408340000000000000000000000340020000100280000000000
010000000000000000800408008004088F0000008F0000000500000000100000
81EC9001000089E3B87A000000CD8081BC24040100007838365F75136681BC240801000036347507BB2A000000EB05BB2B000000B801000000CD80
END
    chmod +x "$probe"
    out=$("$probe" 2>&1) && status=0 || status=$?
    rm -f "$probe"
    case $status in
    42) KV_I386_WHY="a 143-byte i386 program ran natively"; return 0 ;;
    43) KV_I386_WHY="an i386 program ran only under an emulator (it reported a machine other than x86_64)" ;;
    126 | 127) KV_I386_WHY="the kernel will not start an i386 program (${out##*: })" ;;
    *) KV_I386_WHY="an i386 program ended with status $status instead of 42" ;;
    esac
    [ "$status" -le 128 ] || KV_I386_WHY="an i386 program was killed by signal $(kill -l "$status")"
    return 1
}

# Installs 32-bit Wine where this host runs 32-bit code and no mode is asked
# for; where it cannot, keeps apt's reason for kv_runs_win32 (KV_WINE32_ERROR).
kv_install_wine32() {
    { [ "${KRONVEL_TEST_ARCH:-auto}" = auto ] && kv_runs_i386; } || return 0
    kv_need --install wine32 || export KV_WINE32_ERROR=${KV_NEED_ERROR:-}
}

# Whether 32-bit Windows programs run here, and how (KV_WIN32, and why:
# KV_WIN32_WHY): natively where the host runs 32-bit code and has 32-bit Wine;
# with --emulated (the tests), in scripts/guest's guest where not, or with
# KRONVEL_TEST_ARCH=emulated. Not with KRONVEL_TEST_ARCH=x64, nor where neither
# can be had (why: KV_NO_WIN32, with scripts/test's KV_WINE32_ERROR and
# KV_GUEST_ERROR, why an install or the guest's build failed).
# shellcheck disable=SC2034 # read by the scripts that source this file
# shellcheck disable=SC2120 # scripts/test and wine-prefix pass --emulated
kv_runs_win32() { # [--emulated]
    [ "$(uname -m)" = x86_64 ] || { kv_say "the tests run on x86-64 Linux hosts, not $(uname -m)"; exit 2; }
    case "${KRONVEL_TEST_ARCH:-}" in
    x64) KV_NO_WIN32="KRONVEL_TEST_ARCH=x64 asks for the 64-bit-only mode"; return 1 ;;
    emulated) KV_WIN32_WHY="KRONVEL_TEST_ARCH=emulated asks for the emulated guest" ;;
    "" | auto)
        if ! kv_runs_i386; then
            KV_WIN32_WHY="this host runs no 32-bit x86 code: $KV_I386_WHY"
        elif [ -x /usr/lib/wine/wine ]; then
            KV_WIN32=native KV_WIN32_WHY="this host runs 32-bit x86 code: $KV_I386_WHY" && return 0
        else
            KV_WIN32_WHY="this host runs 32-bit x86 code, but 32-bit Wine (wine32:i386) is not installed"
            KV_WIN32_WHY+="${KV_WINE32_ERROR:+ and cannot be: $KV_WINE32_ERROR}"
        fi ;;
    *) kv_say "KRONVEL_TEST_ARCH is \"$KRONVEL_TEST_ARCH\": set it to x64 or emulated, or leave it unset"; exit 2 ;;
    esac
    KV_WIN32=emulated
    [ "${1:-}" = --emulated ] || { KV_NO_WIN32="$KV_WIN32_WHY; only the tests run them emulated"; return 1; }
    KV_NO_WIN32=$("$KV_ROOT/scripts/guest" ready 2>&1) && return 0
    KV_NO_WIN32="$KV_WIN32_WHY, and the emulated guest cannot be had: ${KV_GUEST_ERROR:-$KV_NO_WIN32}" && return 1
}

# The Wine environment of a prefix, private to its build folder: quiet, with
# the .NET and HTML engine installers a new prefix offers switched off, and the
# display wine-prefix start chose, with its key. KV_WINE is the loader: Debian's
# "wine" launcher would take the 32-bit one wherever it is installed.
kv_wine_env() { # win32|win64 prefix
    case "$1" in
    win32) KV_WINE=/usr/lib/wine/wine ;;
    win64) KV_WINE=/usr/lib/wine/wine64 ;;
    *) kv_say "unknown Wine architecture $1"; exit 2 ;;
    esac
    export WINEPREFIX="$2" WINEARCH="$1" WINELOADER="$KV_WINE"
    export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
    KV_STATE="$2.state"
    local var
    while read -r var; do export "${var?}"; done < <(grep -sE '^(DISPLAY|XAUTHORITY)=' "$KV_STATE")
}

# Makes the prefix of kv_wine_env's environment ready, on a display, the first
# time and after a Wine update: Wine's own fonts where Debian's Wine 8 finds
# them (else caption buttons read "0 1 r" and dialogs lose Tahoma), and no
# crash dialog: a program that crashes ends at once, its exception and a
# backtrace on its standard error, where the dialog would wait for a click.
kv_prefix_init() {
    "$KV_WINE" wineboot --init || return
    cp -n /usr/share/wine/fonts/{marlett,tahoma,tahomabd}.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    grep -qs '"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg" ||
        "$KV_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
}
