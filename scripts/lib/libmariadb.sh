# The MySQL client library we ship for Windows: MariaDB's Connector/C from Debian's source
# package of MariaDB, cross-built with mingw-w64 for the same Windows floor as QBNotify.dll
# (_WIN32_WINNT=0x0502, static runtime, win32 thread model) and without TLS.
#
# Source it after lib/common.sh, then:
#   qb_libmariadb_build ARCH   ARCH i686 or x86_64: builds build-libmariadb-win32/ or
#                              build-libmariadb-win64/libmariadb.dll unless an earlier build of
#                              the same recipe is there; status 3 when the source cannot be
#                              fetched, 1 when the build fails (its log: build.log there)
#   qb_libmariadb_dir ARCH     prints that directory
#   qb_libmariadb_source       prints the unpacked Connector/C directory (fetching it first)
#   qb_libmariadb_version      prints the source package's version (after a fetch or build)
#
# The source stays in build-libmariadb-src/ and each build in its own directory, so a later
# run costs nothing. A build is redone when the recipe changes: the files below and this
# script's options are hashed into the build directory's stamp.

QB_LIBMARIADB_SOURCE_DIR=$QB_ROOT/build-libmariadb-src
QB_LIBMARIADB_FLOOR_HEADER=$QB_ROOT/store/client/connector/WindowsFloor.h

qb_libmariadb_dir() {
  case $1 in
    i686) echo "$QB_ROOT/build-libmariadb-win32" ;;
    x86_64) echo "$QB_ROOT/build-libmariadb-win64" ;;
    *) echo "unknown Windows architecture: $1" >&2; return 1 ;;
  esac
}

qb__as_root() {
  if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi
}

# Adds deb-src entries for the Debian archives that apt already uses, when apt knows no
# source package of MariaDB.
qb__libmariadb_enable_sources() {
  if [ -n "$(apt-cache showsrc mariadb 2>/dev/null)" ]; then return 0; fi
  local list=/etc/apt/sources.list.d/debian.sources
  [ -f "$list" ] || { echo "no $list to take Debian's archives from" >&2; return 1; }
  qb_log "adding Debian's source archives to apt's sources"
  sed 's/^Types: deb$/Types: deb-src/' "$list" | qb__as_root tee /etc/apt/sources.list.d/qbnotify-deb-src.sources >/dev/null
  qb__as_root apt-get update -qq >&2
}

# Downloads Debian's source package of MariaDB into the source directory and unpacks its
# libmariadb/ directory (Connector/C) as mariadb-VERSION/libmariadb. Tries the versions apt
# knows from the newest down, since an archive may list a version it does not serve. Prints
# the directory. (Runs where errexit does not hold: every step is checked.)
qb__libmariadb_fetch() {
  local source_dir=$QB_LIBMARIADB_SOURCE_DIR
  qb__libmariadb_enable_sources || return 1
  mkdir -p "$source_dir" || return 1
  local version upstream fetched=
  for version in $(apt-cache showsrc mariadb | sed -n 's/^Version: //p' | sort -u -r -V); do
    qb_log "fetching the source package mariadb $version"
    if (cd "$source_dir" && apt-get source --download-only -qq "mariadb=$version" >/dev/null 2>&1); then
      fetched=$version
      break
    fi
  done
  [ -n "$fetched" ] || { echo "no source package of MariaDB could be fetched" >&2; return 1; }
  upstream=${fetched#*:}
  upstream=${upstream%-*}
  local dsc=("$source_dir"/mariadb_"${fetched#*:}".dsc)
  local orig=("$source_dir"/mariadb_"$upstream".orig.tar.*)
  local debian=("$source_dir"/mariadb_"${fetched#*:}".debian.tar.*)
  rm -rf "$source_dir/mariadb-$upstream"
  # Debian's own changes, when one of them touches Connector/C, need the whole package
  # unpacked; otherwise its directory is taken from the upstream tarball alone.
  if tar -xf "${debian[0]}" -O --wildcards 'debian/patches/*' 2>/dev/null |
    grep -E '^\+\+\+ [^ ]*/libmariadb/' >/dev/null; then
    qb_install_packages dpkg-dev >&2 || return 1
    qb_log "unpacking the whole source package"
    dpkg-source -x "${dsc[0]}" "$source_dir/mariadb-$upstream" >/dev/null || return 1
  else
    qb_log "unpacking Connector/C from the source package"
    # Into a directory of its own first, so that an interrupted run leaves no half tree.
    rm -rf "$source_dir/unpacking" && mkdir "$source_dir/unpacking" || return 1
    tar -xf "${orig[0]}" -C "$source_dir/unpacking" "mariadb-$upstream/libmariadb" || return 1
    mv "$source_dir/unpacking/mariadb-$upstream" "$source_dir/" && rmdir "$source_dir/unpacking" || return 1
  fi
  echo "$fetched" >"$source_dir/mariadb-$upstream/VERSION.debian"
  echo "$source_dir/mariadb-$upstream/libmariadb"
}

qb_libmariadb_source() {
  local unpacked=("$QB_LIBMARIADB_SOURCE_DIR"/mariadb-*/libmariadb/CMakeLists.txt)
  if [ -f "${unpacked[0]}" ]; then dirname "${unpacked[0]}"; else qb__libmariadb_fetch; fi
}

# The Debian version of the unpacked source ("1:10.11.18-0+deb12u1"), or its directory's
# upstream version when the source was unpacked before versions were noted.
qb_libmariadb_version() {
  local connector
  connector=$(qb_libmariadb_source) || return 1
  if [ -f "$connector/../VERSION.debian" ]; then cat "$connector/../VERSION.debian"; else
    basename "$(dirname "$connector")" | sed 's/^mariadb-//'
  fi
}

# The options of a build; changing them (or the floor header) redoes the build.
qb__libmariadb_options() {
  local arch=$1
  local c_flags="-D_WIN32_WINNT=0x0502 -DWINVER=0x0502 -include $QB_LIBMARIADB_FLOOR_HEADER"
  # Static C runtime pieces (libgcc); the i686 exports lose their stdcall decoration, so the
  # functions are found by their plain names as on x86_64.
  local link_flags="-static -static-libgcc"
  [ "$arch" = i686 ] && link_flags="$link_flags -Wl,--kill-at"
  printf '%s\n' -DCMAKE_TOOLCHAIN_FILE="$QB_ROOT/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DWITH_SSL=OFF -DWITH_UNIT_TESTS=OFF -DWITH_CURL=OFF -DWITH_EXTERNAL_ZLIB=OFF \
    "-DCMAKE_C_FLAGS=$c_flags" "-DCMAKE_SHARED_LINKER_FLAGS=$link_flags"
}

# mysql_load_plugin takes variable arguments, which makes it a cdecl function whatever its
# declaration says (as the header declares it); its definition says STDCALL, which the i686
# compiler refuses as a conflicting type. The file is generated at configure time.
qb__libmariadb_fix_generated() {
  local file=$1/libmariadb/ma_client_plugin.c
  [ -f "$file" ] || { echo "$file was not generated" >&2; return 1; }
  sed -i '/^struct st_mysql_client_plugin \* STDCALL$/{N;s/ STDCALL\nmysql_load_plugin(MYSQL/\nmysql_load_plugin(MYSQL/}' "$file"
  grep -q -x 'mysql_load_plugin(MYSQL .*\.\.\.)' "$file" && ! grep -B1 '^mysql_load_plugin(MYSQL' "$file" | grep STDCALL >/dev/null
}

qb_libmariadb_build() {
  local arch=$1 dir connector stamp
  dir=$(qb_libmariadb_dir "$arch") || return 1
  local options=() launcher=()
  mapfile -t options < <(qb__libmariadb_options "$arch")
  # ccache is no part of the recipe.
  mapfile -t launcher < <(qb_launcher_options)
  # The recipe, not where the checkout lies: the options without the checkout's directory.
  stamp=$( { printf '%s\n' "${options[@]}" | sed "s|$QB_ROOT|.|g"; cat "$QB_LIBMARIADB_FLOOR_HEADER"; } |
    sha256sum | cut -d' ' -f1)
  if [ -f "$dir/libmariadb.dll" ] && [ "$(cat "$dir/recipe" 2>/dev/null)" = "$stamp" ]; then
    qb_log "reusing $dir/libmariadb.dll"
    return 0
  fi
  qb_install_packages "g++-mingw-w64-${arch//_/-}" mingw-w64-tools cmake ninja-build || return 1
  connector=$(qb_libmariadb_source) || return 3
  qb_log "cross-building libmariadb.dll for $arch from $connector"
  rm -rf "$dir"
  mkdir -p "$dir"
  {
    cmake -S "$connector" -B "$dir/build" -G Ninja "${options[@]}" "${launcher[@]}" &&
      qb__libmariadb_fix_generated "$dir/build" &&
      cmake --build "$dir/build" --target libmariadb
  } >"$dir/build.log" 2>&1 || {
    tail -30 "$dir/build.log" >&2
    return 1
  }
  cp "$dir/build/libmariadb/libmariadb.dll" "$dir/libmariadb.dll.tmp" && mv "$dir/libmariadb.dll.tmp" "$dir/libmariadb.dll" &&
    echo "$stamp" >"$dir/recipe"
}
