#include "policy/SessionLoad.h"

#include <mysqld_error.h>

#include "environment/Switches.h"

namespace qbnotify {

std::string ContainsPattern(const Platform& platform, const std::string& text) {
  std::string pattern = "%";
  ForEachLikeCharacter(platform, text, [&pattern](std::string_view character, bool special) {
    if (special) pattern += '\\';
    pattern += character;
  });
  pattern += '%';
  return pattern;
}

bool SwitchValueEquals(const Platform& platform, const std::string& initialProgram, const std::string& switchName,
                       const std::string& expected) {
  std::string value = FindSwitchValue(platform, initialProgram, switchName);
  if (value.size() != expected.size()) return false;
  std::string wanted = expected;
  platform.UpperCaseBuffer(value.data(), value.size());
  platform.UpperCaseBuffer(wanted.data(), wanted.size());
  return value == wanted;
}

SessionLoadForm ChooseSessionLoadForm(const Instance& instance) {
  return instance.sessionLoadSwitchColumns.value_or(true) ? SessionLoadForm::SwitchColumns : SessionLoadForm::Like;
}

void LearnSessionLoadForm(Instance& instance, SessionLoadForm form) {
  instance.sessionLoadSwitchColumns = form == SessionLoadForm::SwitchColumns;
}

SessionLoadSearch ApplicationSessionsSearch(const std::string& appId) {
  return {"Select InitAppName from dc_sessionload where InitAppName like :AppID",
          "Select InitAppName from dc_sessionload where AppSwitch = :AppID",
          {{"AppID", appId}},
          {}};
}

SessionLoadSearch UserApplicationSessionsSearch(const std::string& appId, const std::string& userName) {
  return {"Select InitAppName from dc_sessionload where InitAppName like :AppID and InitAppName like :UserName",
          "Select InitAppName from dc_sessionload where AppSwitch = :AppID and UserSwitch = :UserName",
          {{"AppID", appId}, {"UserName", userName}},
          {}};
}

SessionLoadSearch OtherClientSessionsSearch(const std::string& userName, const std::string& clientName) {
  return {"Select InitAppName from dc_sessionload where InitAppName like :A and ClientName<>:B",
          "Select InitAppName from dc_sessionload where UserSwitch = :A and ClientName<>:B",
          {{"A", userName}},
          {{"B", clientName}}};
}

namespace {

void PrepareSearch(SessionLoadForm form, const Platform& platform, Statement& statement,
                   const SessionLoadSearch& search) {
  const bool like = form == SessionLoadForm::Like;
  statement.Close();
  statement.SetSql(like ? search.likeSql : search.columnsSql);
  for (const auto& [name, value] : search.switches) statement.BindText(name, like ? ContainsPattern(platform, value) : value);
  for (const auto& [name, value] : search.exact) statement.BindText(name, value);
}

}  // namespace

void OpenSessionLoadSearchIn(SessionLoadForm form, const Platform& platform, Statement& statement,
                             const SessionLoadSearch& search) {
  PrepareSearch(form, platform, statement, search);
  statement.Open();
}

void OpenSessionLoadSearch(Instance& instance, Statement& statement, const SessionLoadSearch& search,
                           std::vector<QueryStep>& queries) {
  SessionLoadForm form = ChooseSessionLoadForm(instance);
  PrepareSearch(form, instance.platform, statement, search);
  queries.push_back({"DC", statement.Render(), 0});
  try {
    statement.Open();
  } catch (const DatabaseError& error) {
    if (form != SessionLoadForm::SwitchColumns || error.Code() != ER_BAD_FIELD_ERROR) throw;
    // The columns are not there (or no longer): the LIKE form from now on.
    form = SessionLoadForm::Like;
    LearnSessionLoadForm(instance, form);
    PrepareSearch(form, instance.platform, statement, search);
    queries.back().sql = statement.Render();
    statement.Open();
  }
  LearnSessionLoadForm(instance, form);
  queries.back().rows = statement.RowCount();
}

}  // namespace qbnotify
