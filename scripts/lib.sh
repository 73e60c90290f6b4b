# Shared by scripts/run and scripts/test: install what is missing, build, and
# prepare a Wine prefix. Every step checks first, so a second run is quick.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
export WINEPREFIX="$BUILD/wineprefix"

say() { printf '== %s\n' "$*"; }

ensure_packages() {
    local missing=()
    command -v i686-w64-mingw32-g++-win32 >/dev/null || missing+=(g++-mingw-w64-i686)
    [ -f /usr/i686-w64-mingw32/lib/libz.a ] || missing+=(libz-mingw-w64-dev)
    [ -x /usr/lib/wine/wine ] || missing+=(wine wine32)
    # The 64-bit wineserver runs natively even where 32-bit Linux programs
    # must be emulated; without it every Wine call waits on an emulated server.
    [ -x /usr/lib/wine/wineserver64 ] || missing+=(wine64)
    command -v Xvfb >/dev/null || missing+=(xvfb)
    command -v import >/dev/null || missing+=(imagemagick)
    # xwininfo: whether X shows a window yet, before it is pictured.
    command -v xwininfo >/dev/null || missing+=(x11-utils)
    command -v python3 >/dev/null || missing+=(python3)
    command -v cmake >/dev/null || missing+=(cmake)
    command -v g++ >/dev/null || missing+=(g++)
    [ -d /usr/src/googletest ] || [ -f /usr/lib/x86_64-linux-gnu/libgtest.a ] || missing+=(libgtest-dev)
    command -v ip >/dev/null || missing+=(iproute2)
    # What LAN operators run: the tests fetch through a real proxy and from nginx.
    command -v nginx >/dev/null || missing+=(nginx-light)
    command -v tinyproxy >/dev/null || missing+=(tinyproxy)
    # The program's own TLS is tested against nginx, lighttpd and the mirror,
    # with certificates that openssl makes.
    [ -f /usr/lib/lighttpd/mod_openssl.so ] || missing+=(lighttpd lighttpd-mod-openssl)
    command -v openssl >/dev/null || missing+=(openssl)
    # scripts/bench sets curl's https against the program's own.
    command -v curl >/dev/null || missing+=(curl)
    command -v unshare >/dev/null || missing+=(util-linux)
    # BearSSL comes as Debian's source package (scripts/fetch-bearssl), and
    # the built-in trust anchors from Debian's roots.
    command -v xz >/dev/null || missing+=(xz-utils)
    [ -d /usr/share/ca-certificates/mozilla ] || missing+=(ca-certificates)
    missing+=($(missing_fuzzer_packages))
    if [ ${#missing[@]} -gt 0 ]; then
        say "installing ${missing[*]}"
        dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    ensure_i386_runs
}

# The fuzz target of the HTTP reading is built by clang with its libFuzzer runtime.
missing_fuzzer_packages() {
    command -v clang++ >/dev/null || echo clang
    compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
        echo libclang-rt-14-dev
}

ensure_fuzzer() {
    local missing=($(missing_fuzzer_packages))
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Wine's loader is a 32-bit Linux program. Some kernels here boot with 32-bit
# emulation switched off; there it runs under QEMU's user-mode emulator. The
# version in bookworm is too old for Wine (it mishandles MAP_FIXED_NOREPLACE),
# so it comes from bookworm-backports.
ensure_i386_runs() {
    /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
    say "32-bit programs do not run natively here: using QEMU user-mode emulation"
    if ! qemu-i386-static --version 2>/dev/null | grep -qE 'version ([89]|[1-9][0-9])\.'; then
        # Backports from the same mirror the machine already uses for bookworm.
        local list=/etc/apt/sources.list.d/bookworm-backports.list mirror
        mirror=$(apt-cache policy | awk '$3 == "bookworm/main" {print $2; exit}')
        [ -n "$mirror" ] || { echo "no bookworm mirror configured for apt" >&2; return 1; }
        grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d/ ||
            echo "deb $mirror bookworm-backports main" > "$list"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t bookworm-backports qemu-user-static >/dev/null
    fi
    [ -e /proc/sys/fs/binfmt_misc/register ] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # 'F' opens the interpreter now, so re-register after an upgrade of QEMU.
    [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        > /proc/sys/fs/binfmt_misc/register
    /usr/lib/wine/wine --version >/dev/null
}

build_all() {
    say "building"
    cmake -S "$ROOT" -B "$BUILD/win32" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$BUILD/win32" -j2
    cmake -S "$ROOT" -B "$BUILD/native" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$BUILD/native" -j2
}

# One prefix for every run, made by the test harness's own recipe.
ensure_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] || say "creating the Wine prefix (once)"
    python3 "$ROOT/scripts/winelib.py"
}
