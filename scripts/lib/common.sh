# Shared by the project's scripts: installing what the build needs, configuring and building.
# Source it; it defines functions only.

QB_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

QB_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
  libmariadb-dev mariadb-server mariadb-client ccache)
# What the tests add: the usage report's page is checked in a real browser, with a font that
# has the Chinese names; openssl makes the encrypted connections' test certificates.
QB_TEST_PACKAGES=(chromium fonts-wqy-zenhei openssl)

# Every build the scripts configure compiles through ccache (QB_CCACHE=0: without it). Paths
# are hashed relative to the checkout and without the build directory, so that a later build
# of the same sources in another build directory or another clone on this machine (a fresh
# CI clone after a developer's run, build-win64-db after build-win64) takes the objects from
# the cache. The debugging information of such an object names the first build's directory.
export CCACHE_BASEDIR=$QB_ROOT CCACHE_NOHASHDIR=true

qb_log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

# Installs the Debian packages that are missing (as root, with apt-get).
qb_install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep 'install ok installed' >/dev/null || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  qb_log "installing ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  # Another apt-get on the machine (another checkout's scripts) holds the lock for a while.
  local wait=(-o DPkg::Lock::Timeout=600)
  "${sudo[@]}" apt-get "${wait[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "${wait[@]}" install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# The CMake options that put ccache before the compilers (nothing when it is not installed
# or QB_CCACHE=0), one per line.
qb_launcher_options() {
  [ "${QB_CCACHE:-1}" != 0 ] && command -v ccache >/dev/null || return 0
  printf '%s\n' -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
}

# Configures a build directory once (later runs keep its options): qb_configure DIR [cmake options...]
qb_configure() {
  local dir=$1 launcher=()
  shift
  [ ! -f "$dir/build.ninja" ] || return 0
  mapfile -t launcher < <(qb_launcher_options)
  cmake -S "$QB_ROOT" -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
}

# Configures (once) and builds everything of a build directory: qb_build DIR [cmake options...]
qb_build() {
  qb_configure "$@"
  cmake --build "$1"
}

# The test programs of a configured build directory: the targets of the executables that land
# under tests/ (each brings the library, host and tools it runs), not the benchmarks. One per
# line; an extended regular expression as second argument leaves out the names it matches.
qb_test_targets() {
  ninja -C "$1" -t targets all | sed -n 's|^tests/[^:]*: CXX_EXECUTABLE_LINKER__\(.*\)_[^_]*$|\1|p' |
    sort -u | grep -v -x -E "${2:-^$}"
}

# Builds the test programs of a build directory (configuring it once with the options given):
# qb_build_tests DIR [--except REGEX] [cmake options...]. When ctest still finds a test whose
# program was not built (a test program that does not land under tests/), everything is built.
qb_build_tests() {
  local dir=$1 except=^$ targets=()
  shift
  if [ "${1:-}" = --except ]; then except=$2; shift 2; fi
  qb_configure "$dir" "$@"
  mapfile -t targets < <(qb_test_targets "$dir" "$except")
  [ ${#targets[@]} -gt 0 ] || { echo "no test programs found in $dir; building everything" >&2; targets=(all); }
  cmake --build "$dir" --target "${targets[@]}"
  local listing
  listing=$(cd "$dir" && ctest -N)
  if grep -q '_NOT_BUILT' <<<"$listing"; then
    echo "ctest names test programs outside tests/; building everything in $dir" >&2
    cmake --build "$dir"
  fi
}

# Whether a text file (CRLF line ends read as LF) holds a line that grep matches:
# qb_text_has FILE GREP-OPTIONS... Never "tr | grep -q" under pipefail: grep -q leaves at the
# first match, and tr, still writing a file longer than its buffer, dies of SIGPIPE and fails
# the pipeline although the line was there (now and then, as the two are scheduled).
qb_text_has() {
  local file=$1
  shift
  tr -d '\r' <"$file" | grep -a "$@" >/dev/null
}

# Whether a process runs (a zombie waiting to be reaped does not).
qb_alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [ -n "$state" ] && [[ $state != Z* ]]
}

# Ends servers: SIGTERM to each, SIGKILL to any still running after 30 s, then reaps those
# that are this shell's children. Never fails: it runs at exit, where a failing step would
# replace the script's own status.
qb_stop_processes() {
  local pid pids=() deadline=$((SECONDS + 30))
  for pid in "$@"; do kill -TERM "$pid" 2>/dev/null && pids+=("$pid"); done
  for pid in "${pids[@]}"; do
    while qb_alive "$pid" && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}

# A command that ends a script through errexit names itself and its line first (also inside
# functions and exit traps: -E), so that the cause is found in a long log without a trace.
set -E
trap 'printf "FAILED: %s line %s (in %s): %s (exit %s)\n" "${0##*/}" "$LINENO" "${FUNCNAME[*]:-main}" "$BASH_COMMAND" "$?" >&2' ERR
