# The installer packages' checks, sourced by scripts/check-windows after lib/wine.sh (a Wine
# prefix is running) and lib/installer.sh; they count through its pass and fail.
#
#   qb_check_package_tables ARCH    msiinfo: what the package holds, for either architecture
#   qb_check_package_lifecycle      under 64-bit Wine: the x64 package installed silently over
#                                   nothing, upgraded over an older build, with an existing
#                                   InstallPath and properties, refused on a later Windows,
#                                   and removed
#   qb_check_event_entries          the events test program, and its entries on Wine's
#                                   eventlog debug channel

qb__expect() { # qb__expect DESCRIPTION COMMAND...: one pass or one failure
  local what=$1
  shift
  if "$@"; then pass; else fail "$what"; fi
}

# A table of the package as msiinfo exports it (tab-separated, the three header lines off).
qb__table() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'; }

qb_check_package_tables() {
  local arch=$1 msi=release/QBNotify-$1.msi build=build-win64 template='x64;1033' folder
  [ "$arch" = x86 ] && build=build-win32 && template='Intel;1033'
  if [ ! -s "$msi" ]; then
    fail "$msi is missing"
    return
  fi
  qb__expect "$msi: summary says $template" bash -c "msiinfo suminfo '$msi' | grep -q -x 'Template: $template'"
  qb__expect "$msi: version $(qb_installer_version)" \
    bash -c "msiinfo export '$msi' Property | grep -q -x -P 'ProductVersion\t$(qb_installer_version)\r?'"
  # Every file of the kit's folder, the guide and the licences.
  local files
  files=$(qb__table "$msi" File | cut -f3 | sort)
  for file in QBNotify.dll libmariadb.dll $(sed 's/$/.exe/' "$build/windows-tools.txt") README-admin.txt \
    libmariadb-README.txt libmariadb-COPYING.LIB.txt ds.sql dc.sql log.sql; do
    qb__expect "$msi holds $file" grep -q -x -F "$file" <<<"$files"
  done
  # The architecture's launch condition, and the Windows that load notification packages.
  if [ "$arch" = x64 ]; then
    qb__expect "$msi refuses 32-bit Windows, naming the other package" \
      grep -q -P '^VersionNT64\t.*install QBNotify-x86\.msi' <<<"$(qb__table "$msi" LaunchCondition)"
  else
    qb__expect "$msi refuses x64 Windows, naming the other package" \
      grep -q -P '^NOT VersionNT64\t.*install QBNotify-x64\.msi' <<<"$(qb__table "$msi" LaunchCondition)"
  fi
  qb__expect "$msi refuses Windows after Server 2003, saying why" \
    grep -q -P '^VersionNT >= 501 AND VersionNT <= 502\tWinlogon loads notification packages only on Windows XP and Windows Server 2003\.$' \
    <<<"$(qb__table "$msi" LaunchCondition)"
  # The library where Winlogon loads it, in the system folder of its bitness.
  folder=SystemFolder
  [ "$arch" = x64 ] && folder=System64Folder
  qb__expect "$msi puts QBNotify.dll in $folder" \
    bash -c "msiinfo export '$msi' Component | grep -P '^Library\t' | cut -f3 | grep -q -x '$folder'"
  # The registration, the folders with their access, and what Tables.sql added.
  local registry
  registry=$(qb__table "$msi" Registry)
  for value in DllName=QBNotify.dll Startup=winStartup Logon=winLogon Logoff=winLogoff Reconnect=winReconnect \
    Disconnect=winDisconnect StartShell=winStartShell Asynchronous=#0 Impersonate=#0; do
    qb__expect "$msi registers $value" grep -q -P "\\\\Winlogon\\\\Notify\\\\QBNotify\t${value%%=*}\t${value#*=}\t" <<<"$registry"
  done
  qb__expect "$msi registers the event source" grep -q -P 'Eventlog\\Application\\QBNotify\tEventMessageFile\t' <<<"$registry"
  qb__expect "$msi writes InstallPath only when absent or its own" \
    bash -c "msiinfo export '$msi' Component | grep -q -P '^InstallPath\t.*\tNOT INSTALLPATHFOUND OR INSTALLPATHOURS\t'"
  local permissions
  permissions=$(qb__table "$msi" LockPermissions)
  for dir in DATADIR CONFIGDIR STATEDIR SPOOLDIR; do
    qb__expect "$msi keeps $dir on removal" \
      bash -c "msiinfo export '$msi' Component | grep -P '\t$dir\t' | cut -f4 | grep -q -x -E '16|272'"
    qb__expect "$msi gives $dir to SYSTEM and Administrators only" \
      test "$(grep -P "^$dir\tCreateFolder\t" <<<"$permissions" | cut -f4 | sort | tr '\n' ' ')" = "Administrators SYSTEM "
  done
  qb__expect "$msi asks for a restart" bash -c "msiinfo export '$msi' InstallExecuteSequence | grep -q -P '^ScheduleReboot\t'"
}

# --- Under Wine ---------------------------------------------------------------------------

QB__DRIVE_C=

# msiexec in the prefix; its exit status, which Wine hands on to the shell cut to its low
# byte: 0; 194 for 3010 (done, a restart asked for); 67 for 1603 (failed or refused).
qb__msiexec() {
  local dir=$1 status=0
  shift
  (cd "$dir" && timeout 300 "$QB_WINE" msiexec "$@" </dev/null >/dev/null 2>&1) || status=$?
  qb_wine_settle
  return $status
}

# The value of a registry value under HKLM in the 64-bit view, empty when absent, as `reg
# query` shows it (a DWORD as 0x...). Read from the prefix's registry file, which the Wine
# server writes out as it ends (every step before a check waits for that: qb_wine_settle):
# asking `reg` once per value answered "not found" for a value the package had written.
qb__reg() {
  local key=${1#HKLM\\} value
  # Through the environment: awk -v would read the backslashes as escapes.
  value=$(QB_KEY=$key QB_NAME=$2 awk '
    BEGIN { key = ENVIRON["QB_KEY"]; name = ENVIRON["QB_NAME"] }
    /^\[/ {
      line = $0; sub(/^\[/, "", line); sub(/\][^]]*$/, "", line); gsub(/\\\\/, "\\", line)
      inside = tolower(line) == tolower(key); next
    }
    inside && index(tolower($0), "\"" tolower(name) "\"=") == 1 { print substr($0, length(name) + 4); exit }
  ' "$QB_WINE_PREFIX/system.reg")
  case $value in
    dword:*) printf '0x%x\n' "$((16#${value#dword:}))" ;;
    str\(*\):\"*\" | \"*\")
      value=${value#str(*):}
      value=${value:1:${#value}-2}
      printf '%s\n' "${value//\\\\/\\}" ;;
    *) [ -z "$value" ] || printf '%s\n' "$value" ;;
  esac
}

# The number of installed products named QBNotify (64-bit).
qb__products() {
  awk '
    /^\[/ { inside = tolower($0) ~ /^\[software\\\\microsoft\\\\windows\\\\currentversion\\\\uninstall\\\\/; next }
    inside && $0 == "\"DisplayName\"=\"QBNotify (64-bit)\"" { ++count }
    END { print count + 0 }
  ' "$QB_WINE_PREFIX/system.reg"
}

qb__installed_ok() { # status of msiexec: 0 or 3010
  [ "$1" -eq 0 ] || [ "$1" -eq 194 ]
}

qb_check_package_lifecycle() {
  local msi=release/QBNotify-x64.msi work status
  [ -s "$msi" ] || return 0
  QB__DRIVE_C=$QB_WINE_PREFIX/drive_c
  work=$(mktemp -d /tmp/qbnotify-msi.XXXXXX)
  local programs="$QB__DRIVE_C/Program Files/Quillbrook"
  local winlogon='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon\Notify\QBNotify'
  local record='HKLM\SOFTWARE\Quillbrook\QBNotify' product='HKLM\SOFTWARE\Quillbrook\TAV'
  # An older build of the same files, for the upgrade.
  qb_installer_build x64 0.9.0 "$QB_ROOT/release/QBNotify-x64" "$QB_ROOT/release" "$work/QBNotify-x64-old.msi" 2>/dev/null
  cp "$msi" "$work/QBNotify-x64.msi"

  # The test programs before set an InstallPath of their own: the product starts without one.
  timeout 60 "$QB_WINE" reg delete "$product" /f >/dev/null 2>&1 || true
  qb_wine_settle

  # On a Windows that no longer loads notification packages the package refuses to install.
  timeout 60 "$QB_WINE" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >/dev/null 2>&1
  qb_wine_settle
  status=0
  qb__msiexec "$work" /i QBNotify-x64.msi /qn /norestart /l*v refused.log || status=$?
  qb__expect "the package refuses Windows 10 (status $status)" test "$status" -eq 67
  qb__expect "nothing installed on Windows 10" test -z "$(qb__reg "$winlogon" DllName)"
  timeout 60 "$QB_WINE" reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win2003 /f >/dev/null 2>&1
  qb_wine_settle

  # 1. A fresh silent install of the older build.
  status=0
  qb__msiexec "$work" /i QBNotify-x64-old.msi /qn /norestart /l*v old.log || status=$?
  qb__expect "silent install of 0.9.0 (status $status)" qb__installed_ok "$status"
  qb__expect "0.9.0 recorded" test "$(qb__reg "$record" Version)" = 0.9.0
  qb__expect "DllName registered" test "$(qb__reg "$winlogon" DllName)" = QBNotify.dll
  qb__expect "StartShell registered" test "$(qb__reg "$winlogon" StartShell)" = winStartShell
  qb__expect "Impersonate registered" test "$(qb__reg "$winlogon" Impersonate)" = 0x0
  qb__expect "event source registered" test -n "$(qb__reg 'HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\Application\QBNotify' EventMessageFile)"
  qb__expect "InstallPath written where none was" test "$(qb__reg "$product" InstallPath)" = 'C:\Program Files\Quillbrook\TAV'
  qb__expect "QBNotify.dll in system32" test -s "$QB__DRIVE_C/windows/system32/QBNotify.dll"
  qb__expect "libmariadb.dll in system32" test -s "$QB__DRIVE_C/windows/system32/libmariadb.dll"
  qb__expect "the tools and the guide in the product's folder" \
    test -s "$programs/QBNotify/qbnotify-doctor.exe" -a -s "$programs/QBNotify/README-admin.txt"
  for dir in Data Data/CONFIG Data/State Data/Spool; do
    qb__expect "$dir made" test -d "$programs/TAV/$dir"
  done
  # What the farm keeps there: settings, a kept row, state.
  { printf '[DSConnection]\r\nDSHost=10.0.0.5:3306\r\n' >"$programs/TAV/Data/CONFIG/TavDbCnn.dat" &&
    printf 'kept row' >"$programs/TAV/Data/Spool/20261208090000-1-1-100.row" &&
    printf 'state' >"$programs/TAV/Data/State/servers-denied.state"; } 2>/dev/null || fail "writing into the installed Data folders"

  # 2. The newer package over it.
  status=0
  qb__msiexec "$work" /i QBNotify-x64.msi /qn /norestart /l*v upgrade.log || status=$?
  qb__expect "silent upgrade to $(qb_installer_version) (status $status)" qb__installed_ok "$status"
  qb__expect "$(qb_installer_version) recorded" test "$(qb__reg "$record" Version)" = "$(qb_installer_version)"
  qb__expect "one QBNotify product left after the upgrade" test "$(qb__products)" -eq 1
  qb__expect "InstallPath kept over the upgrade" test "$(qb__reg "$product" InstallPath)" = 'C:\Program Files\Quillbrook\TAV'
  qb__expect "DllName still registered" test "$(qb__reg "$winlogon" DllName)" = QBNotify.dll
  qb__expect "settings, kept rows and state untouched by the upgrade" \
    bash -c "grep -q 10.0.0.5 '$programs/TAV/Data/CONFIG/TavDbCnn.dat' && test -s '$programs/TAV/Data/Spool/20261208090000-1-1-100.row' && test -s '$programs/TAV/Data/State/servers-denied.state'"
  qb__expect "the upgrade asks for a restart" qb_text_has "$work/upgrade.log" -i -E 'ScheduleReboot|reboot'

  # The installed doctor speaks of the package.
  local doctor=$work/doctor.txt
  qb_wine_run "$programs/QBNotify" 120 qbnotify-doctor.exe --connect-timeout 1 >"$doctor" 2>&1
  qb__expect "the doctor names the installed version" qb_text_has "$doctor" -F "QBNotify $(qb_installer_version) (x64)"
  qb__expect "the doctor finds the registration whole" qb_text_has "$doctor" -E '\[ok  \] Winlogon registration'

  # 3. Removal: what was installed goes, Data stays.
  status=0
  qb__msiexec "$work" /x QBNotify-x64.msi /qn /norestart /l*v remove.log || status=$?
  qb__expect "silent removal (status $status)" qb__installed_ok "$status"
  qb__expect "Winlogon registration removed" test -z "$(qb__reg "$winlogon" DllName)"
  qb__expect "version record removed" test -z "$(qb__reg "$record" Version)"
  qb__expect "no QBNotify product left" test "$(qb__products)" -eq 0
  qb__expect "the InstallPath it wrote removed" test -z "$(qb__reg "$product" InstallPath)"
  qb__expect "QBNotify.dll removed" test ! -e "$QB__DRIVE_C/windows/system32/QBNotify.dll"
  qb__expect "the tools removed" test ! -e "$programs/QBNotify/qbnotify-doctor.exe"
  qb__expect "Data kept with its rows and settings" \
    bash -c "test -s '$programs/TAV/Data/Spool/20261208090000-1-1-100.row' && test -s '$programs/TAV/Data/CONFIG/TavDbCnn.dat'"

  # 4. An existing InstallPath is kept, the properties write a new settings file without
  #    the password, and removal leaves the InstallPath it did not write.
  timeout 60 "$QB_WINE" reg add "$product" /v InstallPath /t REG_SZ /d 'C:\TAV' /f >/dev/null 2>&1
  qb_wine_settle
  status=0
  qb__msiexec "$work" /i QBNotify-x64.msi /qn /norestart /l*v properties.log DSHOST=10.0.0.5:3306,10.0.0.6:3306 \
    DSUSER=qbnotify DSDB=qbds DCDB=qbdc LOGDB=qblog OFFLINE=cached || status=$?
  qb__expect "install with properties (status $status)" qb__installed_ok "$status"
  local settings=$QB__DRIVE_C/TAV/Data/CONFIG/TavDbCnn.dat
  qb__expect "Data made under the existing InstallPath" test -d "$QB__DRIVE_C/TAV/Data/Spool"
  qb__expect "the settings file written from the properties" \
    bash -c "grep -q -F 'DSHost=10.0.0.5:3306,10.0.0.6:3306' '$settings' && grep -q -F 'Admission=cached' '$settings'"
  qb__expect "no password in the settings file" bash -c "! grep -q DSPSW '$settings'"
  # Installed again with other properties, the file stays as it is.
  printf 'DSPSW=cHc#\r\n' >>"$settings" 2>/dev/null || fail "adding a password to the settings file"
  qb__msiexec "$work" /x QBNotify-x64.msi /qn /norestart || true
  status=0
  qb__msiexec "$work" /i QBNotify-x64.msi /qn /norestart DSHOST=10.9.9.9:3306 DSUSER=x DSDB=x DCDB=x LOGDB=x || status=$?
  qb__expect "install over an existing settings file (status $status)" qb__installed_ok "$status"
  qb__expect "an existing settings file never overwritten" \
    bash -c "! grep -q 10.9.9.9 '$settings' && grep -q DSPSW '$settings'"
  qb__msiexec "$work" /x QBNotify-x64.msi /qn /norestart || true
  qb__expect "an InstallPath it did not write is kept on removal" test "$(qb__reg "$product" InstallPath)" = 'C:\TAV'
  rm -rf "$work"
}

qb_check_event_entries() {
  local output=$1 channel
  channel=$(mktemp /tmp/qbnotify-eventlog.XXXXXX)
  (cd build-win64 && WINEDEBUG=+eventlog timeout 120 "$QB_WINE" qbnotify_wine_events_tests.exe </dev/null \
    >"$output" 2>"$channel") || true
  qb_wine_settle
  grep -a -E '^FAILED' "$output" || true
  tally_output "$output" "the events test program"
  # Wine's ReportEvent prints each text on its eventlog channel.
  local id
  for id in 1001 1002 1003 1004 1005 1006 1007 1008 1009; do
    qb__expect "entry $id on Wine's eventlog channel" qb_text_has "$channel" -F "qbnotify-event-check $id"
  done
  rm -f "$channel"
}
