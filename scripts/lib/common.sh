# Shared by the project's scripts: installing what the build needs, configuring and building.
# Source it; it defines functions only.

QB_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

QB_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev
  libmariadb-dev mariadb-server mariadb-client)

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

# A command that ends a script through errexit names itself and its line first (also inside
# functions and exit traps: -E), so that the cause is found in a long log without a trace.
set -E
trap 'printf "FAILED: %s line %s (in %s): %s (exit %s)\n" "${0##*/}" "$LINENO" "${FUNCNAME[*]:-main}" "$BASH_COMMAND" "$?" >&2' ERR
