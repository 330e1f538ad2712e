# The Windows Installer packages of the kit, built with wixl (msitools) from
# notify/win32/installer/QBNotify.wxs and completed by Tables.sql with msibuild.
#
# Source it after lib/common.sh, then:
#   qb_installer_install             wixl and msitools, with apt-get
#   qb_installer_version             the kit's version (notify/win32/VERSION)
#   qb_installer_build ARCH VERSION KIT SHARED OUT
#                                    ARCH x86 or x64; KIT the folder of that architecture's
#                                    files (release/QBNotify-x64), SHARED the folder of the
#                                    text files and db/ (release); writes the package OUT

QB_INSTALLER_SOURCE=$QB_ROOT/notify/win32/installer

qb_installer_install() {
  qb_install_packages wixl msitools
}

qb_installer_version() {
  head -1 "$QB_ROOT/notify/win32/VERSION" | tr -d '\r\n '
}

qb_installer_build() {
  local arch=$1 version=$2 kit=$3 shared=$4 out=$5 permanent=16
  [ "$arch" = x64 ] && permanent=$((16 + 256))
  rm -f "$out"
  # wixl finds a Source only by a relative path: it runs in SHARED.
  local relative_kit
  relative_kit=$(realpath --relative-to="$shared" "$kit") || return 1
  out=$(realpath -m "$out")
  (cd "$shared" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D Kit="$relative_kit" -D Shared=. \
    -o "$out" "$QB_INSTALLER_SOURCE/QBNotify.wxs") || return 1
  [ -s "$out" ] || return 1
  local statement
  while IFS= read -r statement; do
    case $statement in '' | --*) continue ;; esac
    msibuild "$out" -q "${statement//@PERMANENT@/$permanent}" || {
      echo "msibuild: $statement" >&2
      return 1
    }
  done <"$QB_INSTALLER_SOURCE/Tables.sql"
}
