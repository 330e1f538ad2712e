# Shared by the project's scripts: installing what the build needs, configuring and building.
# Source it; it defines functions only.

QB_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

QB_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
  libmariadb-dev mariadb-server mariadb-client chromium fonts-wqy-zenhei)

qb_log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

# Installs the Debian packages that are missing (as root, with apt-get).
qb_install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  qb_log "installing ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures (once) and builds a build directory: qb_build DIR [cmake options...]
qb_build() {
  local dir=$1
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$QB_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  fi
  cmake --build "$dir"
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
