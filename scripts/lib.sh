# Shared by scripts/test, scripts/demo and the benchmark scripts: package set-up and builds.
# Source it; it defines functions and changes nothing by itself.

ZUQ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages the build, the tests and the demo need.
ZUQ_DEBIAN_PACKAGES=(
    g++ cmake ninja-build pkg-config git ca-certificates
    libssl-dev libcurl4-openssl-dev nlohmann-json3-dev libplist-dev
    libcpp-httplib-dev libsqlite3-dev libboost1.81-dev libzip-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    zip unzip curl openssl
)

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

zuq_install_dependencies() {
    case "$(uname -s)" in
    Darwin)
        command -v brew >/dev/null || { zuq_log "Homebrew is required on macOS"; return 1; }
        brew install --quiet "${ZUQ_BREW_PACKAGES[@]}"
        ;;
    *)
        command -v apt-get >/dev/null || { zuq_log "only Debian-based systems are set up automatically"; return 1; }
        zuq_apt_install "${ZUQ_DEBIAN_PACKAGES[@]}"
        ;;
    esac
}

zuq_jobs() { getconf _NPROCESSORS_ONLN 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2; }

# zuq_build DIR [cmake options...]: configures (once) and builds into DIR.
zuq_build() {
    local dir=$1
    shift
    local prefix=()
    [ "$(uname -s)" = Darwin ] && prefix=(-DCMAKE_PREFIX_PATH="$(brew --prefix openssl@3);$(brew --prefix curl)")
    cmake -S "$ZUQ_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${prefix[@]}" "$@" >/dev/null
    cmake --build "$dir" --parallel "$(zuq_jobs)"
}
