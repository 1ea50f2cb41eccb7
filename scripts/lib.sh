# Shared by scripts/test, scripts/demo, scripts/fuzz and the benchmark scripts: package set-up
# and builds. Source it; it defines functions and changes nothing by itself.

ZUQ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages that building and running zuq, zuq-relay and the simulator need.
ZUQ_DEBIAN_PACKAGES=(
    g++ cmake ninja-build pkg-config git ca-certificates
    libssl-dev libcurl4-openssl-dev nlohmann-json3-dev libplist-dev
    libsqlite3-dev libboost1.81-dev libzip-dev zlib1g-dev
    zip unzip curl openssl
)
# What the tests and benchmarks need besides.
ZUQ_DEBIAN_TEST_PACKAGES=(libcpp-httplib-dev libgtest-dev libgmock-dev libbenchmark-dev)
# What the fuzz targets need besides: clang with libFuzzer and the sanitizers' runtimes.
ZUQ_DEBIAN_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

# Homebrew formulae for a build on macOS (Security.framework stands in for the file keychain).
ZUQ_BREW_PACKAGES=(cmake ninja pkg-config openssl@3 curl nlohmann-json libplist cpp-httplib sqlite libzip
                   boost googletest google-benchmark)

zuq_log() { printf '==> %s\n' "$*" >&2; }

# Installs whatever of the given Debian packages is missing. Runs apt-get update first, once.
zuq_apt_install() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    zuq_log "installing ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# zuq_install_dependencies [tests] [fuzz]: what the product needs, and with "tests" what the
# tests and benchmarks need, with "fuzz" what the fuzz targets need.
zuq_install_dependencies() {
    case "$(uname -s)" in
    Darwin)
        command -v brew >/dev/null || { zuq_log "Homebrew is required on macOS"; return 1; }
        brew install --quiet "${ZUQ_BREW_PACKAGES[@]}"
        ;;
    *)
        command -v apt-get >/dev/null || { zuq_log "only Debian-based systems are set up automatically"; return 1; }
        local packages=("${ZUQ_DEBIAN_PACKAGES[@]}") extra
        for extra in "$@"; do
            case "$extra" in
            tests) packages+=("${ZUQ_DEBIAN_TEST_PACKAGES[@]}") ;;
            fuzz) packages+=("${ZUQ_DEBIAN_FUZZ_PACKAGES[@]}") ;;
            *) zuq_log "unknown package set: $extra"; return 2 ;;
            esac
        done
        zuq_apt_install "${packages[@]}"
        ;;
    esac
}

zuq_jobs() { getconf _NPROCESSORS_ONLN 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2; }

# zuq_configure DIR [cmake options...]: configures DIR (CMake keeps what an earlier
# configuration set unless told otherwise here).
zuq_configure() {
    local dir=$1
    shift
    local prefix=()
    [ "$(uname -s)" = Darwin ] && prefix=(-DCMAKE_PREFIX_PATH="$(brew --prefix openssl@3);$(brew --prefix curl)")
    cmake -S "$ZUQ_ROOT" -B "$dir" -G Ninja "${prefix[@]}" "$@" >/dev/null
}

# zuq_build DIR [cmake options...]: configures and builds everything into DIR, optimised with
# debug information unless the options choose another build type.
zuq_build() {
    local dir=$1
    shift
    zuq_configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" --parallel "$(zuq_jobs)"
}

# zuq_build_quietly DIR TARGET...: builds TARGETs in a configured DIR showing one line that
# counts the steps on a terminal, and nothing else; on a failure, the compiler's words.
zuq_build_quietly() {
    local dir=$1
    shift
    local log
    log=$(mktemp "${TMPDIR:-/tmp}/zuq-build-XXXXXX")
    local status=0
    if [ -t 2 ]; then
        { cmake --build "$dir" --parallel "$(zuq_jobs)" --target "$@" 2>&1 || echo "zuq: build failed"; } |
            tee "$log" |
            while IFS= read -r line; do
                case "$line" in
                \[*/*\]*) printf '\r    %s' "${line%%]*}]" >&2 ;;
                esac
            done
        printf '\r\033[K' >&2
        grep -q '^zuq: build failed$' "$log" && status=1
    else
        cmake --build "$dir" --parallel "$(zuq_jobs)" --target "$@" >"$log" 2>&1 || status=$?
    fi
    if [ "$status" -ne 0 ]; then
        grep -v '^\[[0-9]*/[0-9]*\]' "$log" >&2
    fi
    rm -f "$log"
    return "$status"
}
