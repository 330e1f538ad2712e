# Running the Windows test programs under 64-bit Wine: a throwaway prefix with the null
# graphics driver, no display, quiet, and the zh_CN.GBK locale (ANSI code page 936).
#
# Source it after lib/common.sh, then: qb_wine_install (Wine and the locale, with apt-get)
#                                      qb_wine_start   (makes the prefix, exports WINEPREFIX
#                                                        and the rest; non-zero on failure)
#                                      qb_wine_run DIR SECONDS PROGRAM [ARGS...]
#                                                       (runs PROGRAM in DIR, waits for the
#                                                        prefix's programs to end)
#                                      qb_wine_stop    (ends the prefix's programs, removes it;
#                                                        the caller registers it to run at exit)

QB_WINE=/usr/lib/wine/wine64
QB_WINE_PREFIX=

# Waits for the prefix's programs to end; ends them if they do not within a minute, and says
# so (the prefix's registry is written out when its server ends by itself).
qb_wine_settle() {
  timeout 60 wineserver -w && return 0
  echo "wine: the prefix's programs were still running after 60 s; ended with wineserver -k" >&2
  wineserver -k || true
}

qb_wine_install() {
  qb_install_packages wine wine64 locales
  if ! locale -a 2>/dev/null | grep -i -x 'zh_CN\.gbk' >/dev/null; then
    qb_log "generating the zh_CN.GBK locale"
    localedef -i zh_CN -f GBK zh_CN.GBK
  fi
}

qb_wine_start() {
  QB_WINE_PREFIX=$(mktemp -d /tmp/qbnotify-wine.XXXXXX)
  export WINEPREFIX=$QB_WINE_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' LC_ALL=zh_CN.GBK
  unset DISPLAY WAYLAND_DISPLAY
  qb_log "making a Wine prefix with the null graphics driver"
  local status=0
  timeout 120 "$QB_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1 ||
    status=1
  qb_wine_settle
  return $status
}

# Output goes to standard output and error; a failing program is not an error here (its
# closing line tells).
qb_wine_run() {
  local dir=$1 seconds=$2
  shift 2
  (cd "$dir" && timeout "$seconds" "$QB_WINE" "$@" </dev/null) || true
  qb_wine_settle
}

# Never fails: it runs at exit, where a failing step would replace the script's own status.
# The prefix is removed once its server has ended (it writes the registry out as it ends).
qb_wine_stop() {
  if [ -n "$QB_WINE_PREFIX" ]; then
    WINEPREFIX=$QB_WINE_PREFIX wineserver -k 2>/dev/null || true
    WINEPREFIX=$QB_WINE_PREFIX timeout 30 wineserver -w 2>/dev/null || true
    rm -rf "$QB_WINE_PREFIX" 2>/dev/null || true
    QB_WINE_PREFIX=
  fi
}
