// How the DLL finds its client library, run in a directory that holds an incomplete
// libmariadb.dll (mysql_init alone) and a complete libmysql.dll, from a current directory that
// is also first on PATH and holds a complete libmariadb.dll: only the file beside the program is
// considered, by its full path; it lacks functions, so none is used, and nothing found through
// the search path or under another name is loaded.
#include "platform/win32/WindowsApi.h"
#include "store/client/MysqlApi.h"
#include "tests/Tally.h"

#include <string>

int main() {
  using namespace qbnotify;
  check::Tally tally;
  tally.Group("client library by its full path");
  const std::string elsewhere = win32::ModuleFolderFile(GetModuleHandleA(nullptr), "elsewhere");
  QB_CHECK(tally, SetCurrentDirectoryA(elsewhere.c_str()) != 0);
  char path[32767] = {};
  const DWORD length = GetEnvironmentVariableA("PATH", path, sizeof path);
  QB_CHECK(tally, SetEnvironmentVariableA("PATH", (elsewhere + ";" + std::string(path, length)).c_str()) != 0);
  QB_CHECK(tally, MysqlClient() == nullptr);
  QB_CHECK(tally, GetModuleHandleA("libmysql.dll") == nullptr);
  QB_CHECK(tally, GetModuleHandleA("libmariadb.dll") == nullptr);  // the incomplete one was released
  QB_CHECK(tally, MysqlClient() == nullptr);  // looked up once
  // The control: the stand-in of the current directory and PATH is complete, so that a load
  // by bare name that reached it would have been used (a bare name finds the program's own
  // folder first, so it is loaded here by its path).
  HMODULE bare = LoadLibraryA((elsewhere + "\\libmariadb.dll").c_str());
  QB_CHECK(tally, bare != nullptr);
  using ErrnoFunction = unsigned (*)(void*);
  const auto errnoOf = win32::LoadedModule::LookupIn<ErrnoFunction>(bare, "mysql_errno");
  QB_CHECK(tally, errnoOf != nullptr && errnoOf(nullptr) == 3u);
  tally.Group("system libraries by their full path");
  QB_CHECK(tally, win32::ModuleFolderFile(nullptr, "WTSApi32.dll").find('\\') != std::string::npos);
  return tally.Finish();
}
