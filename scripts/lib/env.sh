# Shared set-up for scripts/test and scripts/run: packages, the build, a
# private Wine prefix and a display. Sourced, not run.

# Debian's wine64 has no preloader: the kernel places the loader's heap at a
# random address up to 1 GiB above the loader, and about one start in a few
# thousand it lands where Wine must map its shared user data (0x7ffe0000); that
# process then dies before its first instruction ("failed to map the shared
# user data: c0000018"). With address randomisation off, for this script and
# every process it starts, the layout is the same on every start. Where the
# kernel refuses (some container sandboxes), run as before.
if [ -z "${NEMORA_FIXED_LAYOUT:-}" ]; then
    export NEMORA_FIXED_LAYOUT=1
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        exec setarch "$(uname -m)" -R "$BASH" "$0" "$@"
    fi
fi

NEMORA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
NEMORA_BUILD=${NEMORA_BUILD:-$NEMORA_ROOT/build}
NEMORA_WINE64=/usr/lib/wine/wine64
export WINEPREFIX=$NEMORA_BUILD/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers (they would try the network and pop up dialogs).
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

say() { printf '== %s\n' "$*" >&2; }

# What building the client alone needs: the compiler and CMake.
NEMORA_CLIENT_PACKAGES=(g++-mingw-w64-x86-64-posix cmake ninja-build)

# Installs with apt whatever of the toolchain is missing (as root, as CI is),
# and the packages named.
nemora_install() {
    # clang, lld, wine64-tools and libwine-dev build the test host for the MSVC ABI;
    # spdlog and fmt: headers for the sink's tests; rustc and the Windows
    # standard library: the Rust host the tests build.
    nemora_install_only "${NEMORA_CLIENT_PACKAGES[@]}" wine wine64 xvfb xauth googletest \
        clang lld wine64-tools libwine-dev libspdlog-dev libfmt-dev rustc libstd-rust-dev-windows "$@"
}

# Installs with apt those of the packages named that are missing.
nemora_install_only() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# Configures once, then builds incrementally: everything, or only the targets named.
nemora_build() {
    if [ ! -f "$NEMORA_BUILD/CMakeCache.txt" ]; then
        cmake -S "$NEMORA_ROOT" -B "$NEMORA_BUILD" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$NEMORA_ROOT/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    cmake --build "$NEMORA_BUILD" -j "$(nproc)" "${targets[@]}"
}

# Starts a virtual X display when none is set; it is stopped on exit, and only it.
NEMORA_XVFB_PID=
nemora_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    NEMORA_XVFB_PID=$!
    local number
    read -r -t 20 number <"$fifo" || { rm -f "$fifo"; say "Xvfb did not start"; return 1; }
    rm -f "$fifo"
    export DISPLAY=":$number"
    say "no DISPLAY: started a virtual display on $DISPLAY"
    # A bare Xvfb has no X resources, and then Xlib looks for ~/.Xdefaults and
    # ~/.Xdefaults-<host> again on every lookup: Wine looks up two Xft settings
    # each time a font is selected, which the edit control does for every line
    # it lays out (six failed opens and three uname calls per line, a third of
    # the layout time). A resource file that sets nothing makes Xlib keep its
    # (empty) database, and rendering stays as it was.
    if [ -z "${XENVIRONMENT:-}" ]; then
        mkdir -p "$NEMORA_BUILD"
        printf '! No resources: present only so that Xlib reads none twice.\n' \
            >"$NEMORA_BUILD/x-resources"
        export XENVIRONMENT=$NEMORA_BUILD/x-resources
    fi
}

# Whether everything running in the prefix belongs to this script: the tests'
# and the benchmarks' prefix does, and is ended with them. scripts/run's prefix
# is shared with whatever the user starts beside the console: its server is
# neither replaced nor ended, and stops by itself once its last program has.
NEMORA_PREFIX_OWNED=true

# A private prefix (WINEPREFIX, in the build tree). A crash must be a plain
# non-zero exit, never a debugger that lingers and hangs the run.
#
# Windows are left unmanaged by default: Wine then draws their frames and title
# bars itself, which is what a display with no window manager (Xvfb) needs, and
# it never waits for a window manager that isn't there (2 s on every shown
# window's destruction). "nemora_prefix managed" leaves them to the window
# manager of a real desktop instead.
nemora_prefix() {
    local windows=${1:-unmanaged}
    if [ ! -f "$WINEPREFIX/.nemora-prefix-v2" ]; then
        say "creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        "$NEMORA_WINE64" wineboot -i >/dev/null 2>&1 || true
        local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
        "$NEMORA_WINE64" reg add "$key" /v Auto /t REG_SZ /d 1 /f >/dev/null 2>&1 || true
        "$NEMORA_WINE64" reg delete "$key" /v Debugger /f >/dev/null 2>&1 || true
        "$NEMORA_WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >/dev/null 2>&1 || true
        # The caption buttons Wine draws come from this font; Wine doesn't find
        # it in its own font folder on its own.
        cp -f /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
        touch "$WINEPREFIX/.nemora-prefix-v2"
    fi
    if [ "$(cat "$WINEPREFIX/.nemora-windows" 2>/dev/null)" != "$windows" ]; then
        local x11='HKCU\Software\Wine\X11 Driver'
        if [ "$windows" = managed ]; then
            "$NEMORA_WINE64" reg delete "$x11" /v Managed /f >/dev/null 2>&1 || true
        else
            "$NEMORA_WINE64" reg add "$x11" /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true
        fi
        echo "$windows" >"$WINEPREFIX/.nemora-windows"
    fi
    if $NEMORA_PREFIX_OWNED; then
        # A server left by an interrupted run may hold a display that is gone since:
        # start from a fresh one. Then keep it up for the whole run, so that each
        # process starts in milliseconds.
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
        wineserver -p >/dev/null 2>&1 || true
    fi
    # Start the prefix's services and desktop now, detached from any output:
    # started by a test instead, they would inherit its pipes and keep CTest
    # waiting for an end of output that never comes.
    "$NEMORA_WINE64" rundll32 user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
}

nemora_cleanup() {
    if $NEMORA_PREFIX_OWNED && [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    if [ -n "$NEMORA_XVFB_PID" ]; then
        kill "$NEMORA_XVFB_PID" 2>/dev/null || true
        wait "$NEMORA_XVFB_PID" 2>/dev/null || true
    fi
}

# Runs the benchmark bench/NAME.exe under Wine with the machine's load before
# and after: figures taken while other work shares the cores are slower than
# the product is.
nemora_bench() {
    local name=$1
    shift
    say "load before: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
    "$NEMORA_WINE64" "$NEMORA_BUILD/bench/$name.exe" "$@"
    say "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
}
