# What a Windows program or DLL of ours may import, checked from its PE tables: only system
# libraries that Windows Server 2003 and XP ship, and none of the functions that only later
# Windows has. Shared by the checks of QBNotify.dll, the client library and the tools.
#
# Source it after lib/common.sh, then:
#   qb_pe_imports FILE                       prints "library function" lines
#   qb_pe_exports FILE                       prints the exported names, sorted
#   qb_pe_import_problems FILE ALLOWED_DLLS  prints one line per problem, nothing when the
#                                            file is fine; ALLOWED_DLLS is an extended
#                                            regular expression over lower-case names

# The system libraries each kind of file may use. The doctor carries the DLL's own Win32
# platform, and with it WTSAPI32 (shipped with XP and Server 2003 as with every later Windows).
QB_DLL_IMPORTS='^(kernel32|user32|advapi32|wtsapi32|msvcrt)\.dll$'
QB_CLIENT_LIBRARY_IMPORTS='^(kernel32|advapi32|ws2_32|secur32|shlwapi|msvcrt)\.dll$'
QB_TOOL_IMPORTS='^(kernel32|user32|advapi32|shell32|ws2_32|wtsapi32|msvcrt)\.dll$'

# Functions that only later Windows has. kernel32 and advapi32: the Vista synchronisation and
# fiber-local storage calls, the "Ex" and locale-name variants, symbolic links and file
# information by handle. msvcrt.dll of that generation predates the secure "_s" functions and
# a few others that later ones added.
QB_MISSING_ON_OLD_WINDOWS='^(GetTickCount64|InitOnce.*|.*SRWLock.*|.*ConditionVariable.*|CancelIoEx|CancelSynchronousIo|IsThreadAFiber|FlsAlloc|FlsFree|FlsGetValue|FlsSetValue|GetSystemTimePreciseAsFileTime|GetFileInformationByHandleEx|SetFileInformationByHandle|CreateSymbolicLink[AW]|GetFinalPathNameByHandle[AW]|QueryFullProcessImageName[AW]|GetLocaleInfoEx|LCMapStringEx|CompareStringEx|GetUserDefaultLocaleName|Create(Event|Mutex|Semaphore|WaitableTimer)Ex[AW]|RegGetValue[AW]|RegDeleteKeyEx[AW]|RegDeleteTree[AW]|RegSetKeyValue[AW]|InitializeCriticalSectionEx|GetCurrentProcessorNumber|GetErrorMode|SetThreadErrorMode|GetThreadErrorMode|inet_ntop|inet_pton|InetNtop[AW]|InetPton[AW]|WSAPoll|GetAddrInfoEx[AW]|.*_s|strnlen|wcsnlen|_fseeki64|_ftelli64|_get_errno|_set_errno|_wfopen_s|_localtime64_s|_gmtime64_s)$'

qb_pe_table() { x86_64-w64-mingw32-objdump -p "$1"; }

# "DLL Name: X" starts each imported library; its functions follow as "vma hint name".
qb_pe_imports() {
  qb_pe_table "$1" | awk '/DLL Name:/ {dll = $3; next}
                          /^$/ {dll = ""}
                          dll && /^\s+[0-9a-f]+\s+[0-9]+\s+[A-Za-z_]/ {print dll, $3}'
}

qb_pe_exports() {
  qb_pe_table "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort
}

qb_pe_import_problems() {
  local file=$1 allowed=$2 imports dlls bad
  if [ ! -f "$file" ]; then
    echo "$file is missing"
    return
  fi
  imports=$(qb_pe_imports "$file")
  if [ "$(wc -l <<<"$imports")" -lt 10 ]; then
    echo "$file: import table not read"
    return
  fi
  dlls=$(cut -d' ' -f1 <<<"$imports" | tr '[:upper:]' '[:lower:]' | sort -u)
  bad=$(grep -a -v -E "$allowed" <<<"$dlls" || true)
  [ -z "$bad" ] || echo "$file imports from $(echo $bad)"
  bad=$(cut -d' ' -f2 <<<"$imports" | grep -a -E "$QB_MISSING_ON_OLD_WINDOWS" | sort -u || true)
  [ -z "$bad" ] || echo "$file imports $(echo $bad)"
}
