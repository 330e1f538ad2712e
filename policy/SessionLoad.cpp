#include "policy/SessionLoad.h"

#include <mysqld_error.h>

#include <charconv>
#include <chrono>

#include "environment/Switches.h"
#include "store/StateDirectory.h"

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

bool SessionLoadNoteSaysLike(std::string_view content, std::int64_t now) {
  constexpr std::string_view head = "like ";
  if (!content.starts_with(head)) return false;
  const std::string_view digits = content.substr(head.size());
  std::int64_t until = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), until);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  return until > now && until - now <= kSessionLoadFormNoteSeconds;
}

std::string SessionLoadLikeNote(std::int64_t now) {
  return "like " + std::to_string(now + kSessionLoadFormNoteSeconds);
}

namespace {

std::int64_t SecondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The note is advice: a state directory that cannot be read or written changes nothing but
// the cost of the first search.
void ReadSessionLoadNote(Instance& instance) {
  if (instance.sessionLoadSwitchColumns) return;
  std::optional<StateDirectory> state = StateDirectory::Locate(instance.platform);
  if (!state) return;
  const std::optional<std::string> content = state->Read(kSessionLoadFormStateName);
  if (content && SessionLoadNoteSaysLike(*content, SecondsNow())) {
    instance.sessionLoadSwitchColumns = false;
    instance.sessionLoadFormFromNote = true;
  }
}

void RemoveSessionLoadNote(Instance& instance) {
  if (std::optional<StateDirectory> state = StateDirectory::Locate(instance.platform))
    state->Remove(kSessionLoadFormStateName);
}

void WriteSessionLoadNote(Instance& instance) {
  if (std::optional<StateDirectory> state = StateDirectory::Locate(instance.platform))
    state->Write(kSessionLoadFormStateName, SessionLoadLikeNote(SecondsNow()));
}

}  // namespace

void LearnSessionLoadForm(Instance& instance, SessionLoadForm form) {
  instance.sessionLoadSwitchColumns = form == SessionLoadForm::SwitchColumns;
}

SessionLoadSearch ApplicationSessionsSearch(const std::string& appId, std::int32_t limit) {
  return {"Select InitAppName from dc_sessionload where InitAppName like :AppID",
          "Select s.InitAppName, c.n from (select count(*) as n from dc_sessionload where AppSwitch = :AppID) c "
          "left join dc_sessionload s on s.AppSwitch = :AppID and :Limit <> 0 and c.n >= :Limit",
          {{"AppID", appId}},
          {},
          {{"Limit", limit}}};
}

SessionLoadSearch UserApplicationSessionsSearch(const std::string& appId, const std::string& userName) {
  return {"Select InitAppName from dc_sessionload where InitAppName like :AppID and InitAppName like :UserName",
          "Select InitAppName from dc_sessionload where AppSwitch = :AppID and UserSwitch = :UserName",
          {{"AppID", appId}, {"UserName", userName}},
          {},
          {}};
}

SessionLoadSearch OtherClientSessionsSearch(const std::string& userName, const std::string& clientName) {
  return {"Select InitAppName from dc_sessionload where InitAppName like :A and ClientName<>:B",
          "Select InitAppName from dc_sessionload where UserSwitch = :A and ClientName<>:B",
          {{"A", userName}},
          {{"B", clientName}},
          {}};
}

namespace {

void PrepareSearch(SessionLoadForm form, const Platform& platform, Statement& statement,
                   const SessionLoadSearch& search) {
  const bool like = form == SessionLoadForm::Like;
  statement.Close();
  statement.SetSql(like ? search.likeSql : search.columnsSql);
  for (const auto& [name, value] : search.switches) statement.BindText(name, like ? ContainsPattern(platform, value) : value);
  for (const auto& [name, value] : search.exact) statement.BindText(name, value);
  if (!like)
    for (const auto& [name, value] : search.columnsNumbers) statement.BindInteger(name, value);
}

// The LIKE form with the shape check appended (kSessionLoadShapeCheck), or nullopt for a
// text that does not begin as the searches' do.
std::optional<std::string> WithShapeCheck(const std::string& likeSql) {
  constexpr std::string_view select = "Select InitAppName from ";
  if (!likeSql.starts_with(select)) return std::nullopt;
  return "Select InitAppName, 0 from " + likeSql.substr(select.size()) + " union all " + kSessionLoadShapeCheck;
}

}  // namespace

void OpenSessionLoadSearchIn(SessionLoadForm form, const Platform& platform, Statement& statement,
                             const SessionLoadSearch& search) {
  PrepareSearch(form, platform, statement, search);
  statement.Open();
}

void OpenSessionLoadSearch(Instance& instance, Statement& statement, const SessionLoadSearch& search,
                           std::vector<QueryStep>& queries) {
  ReadSessionLoadNote(instance);
  SessionLoadForm form = ChooseSessionLoadForm(instance);
  PrepareSearch(form, instance.platform, statement, search);
  // The note holds only while the table keeps its shape: the first LIKE search after reading
  // it asks, in the same statement, whether the columns are there now.
  const std::optional<std::string> checked =
      instance.sessionLoadFormFromNote ? WithShapeCheck(search.likeSql) : std::nullopt;
  if (checked) {
    instance.sessionLoadFormFromNote = false;
    statement.Close();
    statement.SetSql(*checked);
    for (const auto& [name, value] : search.switches) statement.BindText(name, ContainsPattern(instance.platform, value));
    for (const auto& [name, value] : search.exact) statement.BindText(name, value);
  }
  queries.push_back({"DC", statement.Render(), 0});
  try {
    statement.Open();
    if (checked && statement.RowCount() > 0) {
      statement.Seek(statement.RowCount() - 1);
      const bool columnsAdded = statement.ColumnText(std::size_t{1}) == "1";
      statement.First();
      if (columnsAdded) {
        // The migration was applied: the note goes, and the search runs with the columns.
        RemoveSessionLoadNote(instance);
        form = SessionLoadForm::SwitchColumns;
        PrepareSearch(form, instance.platform, statement, search);
        queries.push_back({"DC", statement.Render(), 0});
        statement.Open();
      }
    }
  } catch (const DatabaseError& error) {
    if (form != SessionLoadForm::SwitchColumns || error.Code() != ER_BAD_FIELD_ERROR) throw;
    // The columns are not there (or no longer): the LIKE form from now on.
    form = SessionLoadForm::Like;
    LearnSessionLoadForm(instance, form);
    WriteSessionLoadNote(instance);
    PrepareSearch(form, instance.platform, statement, search);
    queries.back().sql = statement.Render();
    statement.Open();
  }
  LearnSessionLoadForm(instance, form);
  queries.back().rows = statement.RowCount();
}

}  // namespace qbnotify
