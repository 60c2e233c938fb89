# Shared helpers of scripts/test, scripts/wine-lane and scripts/check-exports.
# Source it from bash; it sets nothing but functions and QUVA_* variables.

QUVA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUVA_BUILD="$QUVA_ROOT/build"

# Debian 12 packages each lane needs.
QUVA_PACKAGES_NATIVE=(cmake ninja-build g++ libgtest-dev)
QUVA_PACKAGES_WINDOWS=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64
    g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64)
QUVA_PACKAGES_WINE=(wine64)
QUVA_PACKAGES_FUZZ=(cmake ninja-build clang libclang-rt-14-dev)

QUVA_WINE="${QUVA_WINE:-/usr/lib/wine/wine64}"

say() { printf '%s\n' "$*"; }
die() {
    printf 'error: %s\n' "$*" >&2
    exit 1
}

quva_is_installed() {
    local st
    st="$(dpkg -s "$1" 2>/dev/null)" || return 1
    [[ "$st" == *$'\nStatus: install ok installed\n'* || "$st" == "Status: install ok installed"$'\n'* ]]
}

# Installs whichever of the named packages are missing: one apt-get update
# per process, then one apt-get install.  Needs root only when something is missing.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        quva_is_installed "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || die "missing packages (${missing[*]}); run as root or install them"
    say "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if [ -z "${QUVA_APT_UPDATED:-}" ]; then
        apt-get update -q </dev/null
        QUVA_APT_UPDATED=1
    fi
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

quva_build_dir() { printf '%s/%s\n' "$QUVA_BUILD" "$1"; }

# The mingw-w64 target triplet of a configured build directory (from the
# linker CMake found: the toolchain's compiler is not kept in the cache).
quva_build_triplet() {
    local cache="$1/CMakeCache.txt" tool
    [ -f "$cache" ] || return 1
    tool="$(sed -n 's/^CMAKE_LINKER:[A-Z]*=//p' "$cache")"
    tool="$(basename "$tool")"
    [[ "$tool" =~ ^([A-Za-z0-9_]+-w64-mingw32)- ]] || return 1
    printf '%s\n' "${BASH_REMATCH[1]}"
}

# quva_configure NAME CMAKE_ARGS...: configures build/NAME with Ninja.  A
# directory configured earlier with another generator is started afresh.
quva_configure() {
    local dir
    dir="$(quva_build_dir "$1")"
    shift
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt"; then
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    cmake -S "$QUVA_ROOT" -B "$dir" -G Ninja "$@"
}

# quva_build NAME [TARGET...]: builds build/NAME with two jobs; the output
# also goes to build/logs/NAME.log.  Compiler and linker warnings fail the
# build unless QUVA_ALLOW_WARNINGS=1.
quva_build() {
    local name="$1" dir log args=() warnings
    shift
    dir="$(quva_build_dir "$name")"
    log="$QUVA_BUILD/logs/$name.log"
    mkdir -p "$QUVA_BUILD/logs"
    [ $# -eq 0 ] || args=(--target "$@")
    cmake --build "$dir" -j "${QUVA_JOBS:-2}" "${args[@]}" 2>&1 | tee "$log" || return 1
    warnings="$(grep -c -E '(: warning:|^warning:)' "$log" || true)"
    if [ "$warnings" -gt 0 ]; then
        say "$name: $warnings warning(s) in the build:"
        grep -E '(: warning:|^warning:)' "$log" | sort -u | head -40 || true
        [ "${QUVA_ALLOW_WARNINGS:-0}" = 1 ] || return 1
    fi
    return 0
}

# quva_build_windows win32|win64 [TARGET...]: the mingw-w64 cross build
# (Release) into build/win32 or build/win64.
quva_build_windows() {
    local name="$1" toolchain
    shift
    case "$name" in
        win32) toolchain=mingw-i686 ;;
        win64) toolchain=mingw-x86_64 ;;
        *) die "unknown Windows build $name" ;;
    esac
    quva_configure "$name" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$QUVA_ROOT/cmake/$toolchain.cmake" >/dev/null || return 1
    quva_build "$name" "$@"
}

# Seconds as "1m05s".
quva_duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
