#include "policy/DuplicateAccount.h"

#include <cstdio>

#include "environment/Switches.h"
#include "policy/SessionLoad.h"

namespace qbnotify {
namespace {

// Progress texts (code page 936).
constexpr const char* kTraceRepeatCheck = "\xD6\xD8\xB8\xB4\xB5\xC7\xC2\xBC\xCA\xFD\xBE\xDD\xBF\xE2\xBC\xEC\xB2\xE9";
constexpr const char* kTraceRepeatForbidden =
    "%s\xC9\xE8\xD6\xC3\xC1\xCB\xA1\xB1\xB2\xBB\xD4\xCA\xD0\xED\xD6\xD8\xB8\xB4\xB5\xC7\xC2\xBC%d\xA1\xB0";
constexpr const char* kTraceRepeatAllowed =
    "%s\xC3\xBB\xD3\xD0\xC9\xE8\xD6\xC3\xA1\xB1\xB2\xBB\xD4\xCA\xD0\xED\xD6\xD8\xB8\xB4\xB5\xC7\xC2\xBC\xA3\xAC\xBE\xCD"
    "\xCA\xC7\xBF\xCD\xBB\xA7\xB6\xCB\xBF\xC9\xD2\xD4\xD6\xD8\xB8\xB4\xCA\xB9\xD3\xC3\xD2\xBB\xB8\xF6\xD5\xCA\xBA\xC5"
    "\xB5\xC7\xC2\xBC%d\xA1\xB0";
constexpr const char* kTraceOtherClients = "%s,%s\xBC\xEC\xB2\xE9\xB5\xB9%s\xB8\xF6\xCA\xFD%d";

template <typename... Args>
std::string Format(const char* format, Args... args) {
  const int size = std::snprintf(nullptr, 0, format, args...);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, format, args...);
  return text;
}

}  // namespace

bool IsRepeatLoginForbidden(Instance& instance, const std::string& userName, RepeatLoginDecision* record) {
  RepeatLoginDecision own;
  RepeatLoginDecision& decision = record ? *record : own;
  decision.failure = Capture([&] {
    instance.Trace(kTraceRepeatCheck);
    Statement statement(instance.connections.DS.get());
    statement.SetSql("Select RepeatLoginEnable from cuser where name = :A");
    statement.BindText("A", userName);
    decision.queries.push_back({"DS", statement.Render(), 0});
    statement.Open();
    decision.queries.back().rows = statement.RowCount();
    decision.value = statement.ColumnInteger(std::size_t{0});
    decision.forbidden = decision.value == 1;
    instance.Trace(Format(decision.forbidden ? kTraceRepeatForbidden : kTraceRepeatAllowed, userName.c_str(),
                          decision.value));
  });
  if (decision.failure) decision.forbidden = false;
  return decision.forbidden;
}

bool HasSessionOnOtherClient(Instance& instance, const std::string& userName, const std::string& clientName,
                             DuplicateAccountDecision* record) {
  DuplicateAccountDecision own;
  DuplicateAccountDecision& decision = record ? *record : own;
  bool found = false;
  decision.failure = Capture([&] {
    // Rows that mention the name are narrowed down to the sessions whose "/U:" value is it.
    const std::string pattern = ContainsPattern(instance.platform, userName);
    Statement statement(instance.connections.DC.get());
    OpenSessionLoadSearch(instance, statement, OtherClientSessionsSearch(userName, clientName), decision.queries);
    for (std::size_t row = 0; row < statement.RowCount(); ++row) {
      statement.Seek(row);
      const std::string initialProgram = statement.ColumnText(std::size_t{0});
      if (SwitchValueEquals(instance.platform, initialProgram, "/U:", userName))
        decision.otherClientRows.push_back({initialProgram, {}, {}});
    }
    const int count = static_cast<int>(decision.otherClientRows.size());
    found = count > 0;
    instance.Trace(Format(kTraceOtherClients, pattern.c_str(), clientName.c_str(), userName.c_str(), count));
  });
  return found;
}

// The session's user and client computer as startup read them: the "/U:" value of the
// initial program and the client name that the context keeps.
RepeatLoginDecision CheckRepeatLoginSetting(Instance& instance) {
  RepeatLoginDecision decision;
  IsRepeatLoginForbidden(instance, FindSwitchValue(instance.platform, instance.context.InitialProgram, "/U:"),
                         &decision);
  return decision;
}

DuplicateAccountDecision CheckDuplicateAccount(Instance& instance) {
  const std::string userName = FindSwitchValue(instance.platform, instance.context.InitialProgram, "/U:");
  DuplicateAccountDecision decision;
  if (HasSessionOnOtherClient(instance, userName, instance.context.ClientName, &decision))
    decision.result = kDuplicateAccountFound;
  return decision;
}

}  // namespace qbnotify
