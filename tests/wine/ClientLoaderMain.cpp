// How the DLL chooses its client library, run in a directory that holds an incomplete
// libmariadb.dll (mysql_init alone) and a complete libmysql.dll: the first is passed over
// and released, the second is used and kept.
#include "platform/win32/WindowsApi.h"
#include "store/client/MysqlApi.h"
#include "tests/Tally.h"

int main() {
  using namespace qbnotify;
  check::Tally tally;
  tally.Group("client library choice");
  const MysqlApi* api = MysqlClient();
  QB_CHECK(tally, api != nullptr);
  if (api) {
    QB_CHECK_EQ(tally, api->errno_(nullptr), 2u);  // the complete stand-in answers 2
    QB_CHECK(tally, GetModuleHandleA("libmysql.dll") != nullptr);
  }
  QB_CHECK(tally, GetModuleHandleA("libmariadb.dll") == nullptr);
  QB_CHECK(tally, MysqlClient() == api);  // looked up once
  return tally.Finish();
}
