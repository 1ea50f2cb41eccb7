# Shared by scripts/test, scripts/demo, scripts/fuzz and the benchmark scripts: package set-up
# and builds. Source it; it defines functions and changes nothing by itself.

ZUQ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages that building and running zuq, zuq-relay and the simulator need.
ZUQ_DEBIAN_PACKAGES=(
    g++ cmake ninja-build pkg-config git ca-certificates
    libssl-dev libcurl4-openssl-dev nlohmann-json3-dev libplist-dev
    libsqlite3-dev libpq-dev libboost1.81-dev libzip-dev zlib1g-dev
    zip unzip curl openssl
)
# What the tests and benchmarks need besides.
ZUQ_DEBIAN_TEST_PACKAGES=(libcpp-httplib-dev libgtest-dev libgmock-dev libbenchmark-dev postgresql-15)
# What the fuzz targets need besides: clang with libFuzzer and the sanitizers' runtimes.
ZUQ_DEBIAN_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

# Homebrew formulae for a build on macOS (Security.framework stands in for the file keychain).
ZUQ_BREW_PACKAGES=(cmake ninja pkg-config openssl@3 curl nlohmann-json libplist cpp-httplib sqlite libpq libzip
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

# zuq_start_postgresql: starts a throw-away PostgreSQL cluster in a temporary directory,
# listening on 127.0.0.1 only, on the first free port from a random one, and exports its URL as
# ZUQ_TEST_POSTGRESQL for the tests. Durability is off unless ZUQ_POSTGRESQL_DURABLE is set:
# nothing in it outlives the run. The cluster is stopped and removed when the calling shell
# exits (this sets the EXIT trap; a caller with a trap of its own sets it again after).
zuq_start_postgresql() {
    local bin
    bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
    [ -n "$bin" ] || bin=$(dirname "$(command -v initdb 2>/dev/null || echo /none/initdb)")
    [ -x "$bin/initdb" ] || { zuq_log "PostgreSQL's initdb was not found"; return 1; }
    ZUQ_POSTGRESQL_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zuq-postgresql-XXXXXX")
    # PostgreSQL refuses to run as root: then its own user runs the cluster.
    ZUQ_POSTGRESQL_AS=()
    if [ "$(id -u)" -eq 0 ]; then
        chown postgres "$ZUQ_POSTGRESQL_DIR"
        ZUQ_POSTGRESQL_AS=(runuser -u postgres --)
    fi
    ZUQ_POSTGRESQL_BIN=$bin
    trap zuq_stop_postgresql EXIT
    "${ZUQ_POSTGRESQL_AS[@]}" "$bin/initdb" -D "$ZUQ_POSTGRESQL_DIR/data" -U zuq -A trust \
        --no-sync >/dev/null
    local port=$((20000 + RANDOM % 20000)) tries
    # Durable (for the benchmarks): commits reach the disk, as in service.
    local durability="-c fsync=off -c synchronous_commit=off -c full_page_writes=off"
    [ -z "${ZUQ_POSTGRESQL_DURABLE:-}" ] || durability=
    for tries in 1 2 3 4 5 6 7 8; do
        if "${ZUQ_POSTGRESQL_AS[@]}" "$bin/pg_ctl" -D "$ZUQ_POSTGRESQL_DIR/data" \
            -l "$ZUQ_POSTGRESQL_DIR/log" -w -t 30 start \
            -o "-c listen_addresses=127.0.0.1 -p $port -k $ZUQ_POSTGRESQL_DIR $durability -c max_connections=200" \
            >/dev/null; then
            export ZUQ_TEST_POSTGRESQL="postgresql://zuq@127.0.0.1:$port/postgres"
            zuq_log "PostgreSQL for the tests at $ZUQ_TEST_POSTGRESQL"
            return 0
        fi
        port=$((port + 1))
    done
    zuq_log "PostgreSQL did not start:"
    cat "$ZUQ_POSTGRESQL_DIR/log" >&2
    return 1
}

zuq_stop_postgresql() {
    [ -n "${ZUQ_POSTGRESQL_DIR:-}" ] || return 0
    "${ZUQ_POSTGRESQL_AS[@]}" "$ZUQ_POSTGRESQL_BIN/pg_ctl" -D "$ZUQ_POSTGRESQL_DIR/data" \
        -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$ZUQ_POSTGRESQL_DIR"
    ZUQ_POSTGRESQL_DIR=
}

zuq_jobs() { getconf _NPROCESSORS_ONLN 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2; }

# zuq_configure DIR [cmake options...]: configures DIR (CMake keeps what an earlier
# configuration set unless told otherwise here).
zuq_configure() {
    local dir=$1
    shift
    local prefix=()
    [ "$(uname -s)" = Darwin ] && prefix=(-DCMAKE_PREFIX_PATH="$(brew --prefix openssl@3);$(brew --prefix curl);$(brew --prefix libpq)")
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
