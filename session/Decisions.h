// What the admission checks decide, as plain values.
//
// A check asks the database what it needs and answers one of these: the outcome, the rows
// that decided it and the event record it wants written. It writes nothing, tells the
// client nothing and ends nothing; the startup sequence applies the records, the client
// message and the session end, in the order in which the checks decide. A tool can run the
// same checks and show the decisions without applying them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/Failure.h"

namespace qbnotify {

// Startup results and refusal reasons, as the client receives them.
inline constexpr int kAdmitted = 0;
inline constexpr int kRefusedByPolicy = 2;
inline constexpr int kRefusedByShell = 3;

// The checks' own result codes.
inline constexpr int kDuplicateAccountFound = 5;
inline constexpr int kUserLimitReached = 6;

// An event record a check wants written: SourceID 1, and UserID, AppID and ComputerName from
// the session context.
struct EventRecord {
  EventRecord() = default;
  EventRecord(std::int32_t type, std::int32_t event, std::string p1 = {}, std::string p2 = {})
      : typeId(type), eventId(event), parameter1(std::move(p1)), parameter2(std::move(p2)) {}
  std::int32_t typeId = 0;
  std::int32_t eventId = 0;
  std::string parameter1;
  std::string parameter2;  // empty, except on the records of a decision taken without the database
  friend bool operator==(const EventRecord&, const EventRecord&) = default;
};

// One statement a check sent: the connection, the text as the server received it, and the
// number of rows it read.
struct QueryStep {
  std::string connection;
  std::string sql;
  std::size_t rows = 0;
};

// A row of the session-load table that a check counted.
struct SessionLoadRow {
  std::string initialProgram;
  std::string clientName;
  std::string stationName;  // empty when the query did not read it
};

struct ShellDecision {
  int result = kRefusedByShell;  // kAdmitted or kRefusedByShell
  std::string program;           // the first parameter of the initial program, as it was looked at
  EventRecord record;            // written on every way out
};

// One rule of a security policy with its address group and time group, as the rule query
// returns it (texts as the server gives them; NULL reads as empty).
struct PolicyRule {
  std::int32_t sortId = 0;
  std::string clientName;
  std::string mac;
  std::int32_t clientProtocol = 0;
  std::int32_t action = 0;
  std::string addressId;
  std::string addressType;
  std::string ip1;
  std::string ip2;
  std::string timeId;
  std::int32_t dayType = 0;
  std::string dayFlags;
  std::string startDay;
  std::string endDay;
  std::string startTime;
  std::string endTime;
};

// The rule query's answer: the matching rules, lowest SortID first; the first decides.
struct RuleMatch {
  bool admits = false;  // the first rule's Action is 0; false when no rule matches
  std::vector<PolicyRule> rules;
  QueryStep query;
};

// The application's own limits.
struct AppLimitsDecision {
  bool admits = true;
  std::int32_t limit = 0;       // app_session_count; 0: none
  std::int32_t onePerUser = 0;  // each_user_one_session; 1: one session per user
  std::vector<SessionLoadRow> runningRows;  // sessions of the application, when they were read
  // The columns form's count of the rows that name the application: when it stays below the
  // limit (or there is none) the rows are not read, since none of them could refuse.
  std::optional<std::int32_t> serverCount;
  bool userCounted = false;                 // whether the per-user query ran
  std::vector<SessionLoadRow> userRows;     // sessions of the application by this user
  std::vector<QueryStep> queries;
};

struct PolicyDecision {
  enum class Outcome {
    NoApplication,  // no row in application: refused
    NoPolicy,       // NULL, empty or "NULL": the limits decide
    RuleAdmitted,   // the first matching rule admits: the limits decide
    RuleRefused,    // the first matching rule refuses
    NoRuleMatched,  // the policy has no rule that matches: refused
  };
  int result = kAdmitted;  // kAdmitted or kRefusedByPolicy
  Outcome outcome = Outcome::NoApplication;
  std::string policyId;
  std::optional<RuleMatch> match;          // when the rules were consulted
  std::optional<AppLimitsDecision> limits; // when the limits were consulted
  std::optional<EventRecord> record;       // on a refusal
  std::vector<QueryStep> queries;          // the policy lookup
};

struct RepeatLoginDecision {
  bool forbidden = false;       // RepeatLoginEnable is 1
  std::int32_t value = 0;       // RepeatLoginEnable as read; 0 for NULL or no row
  std::optional<Failure> failure;  // the error that made the rule not apply, if any
  std::vector<QueryStep> queries;
};

struct DuplicateAccountDecision {
  int result = 0;  // kDuplicateAccountFound or 0
  std::vector<SessionLoadRow> otherClientRows;  // the user's sessions from other computers
  std::optional<Failure> failure;               // the error that admitted the session, if any
  std::vector<QueryStep> queries;
};

struct UserLimitDecision {
  int result = 0;           // kUserLimitReached or 0
  std::int32_t limit = 0;   // RunAppNum; 0: none, and nothing is counted
  std::int32_t counted = 0; // sessions of our protocol from the client computer
  bool countRan = false;
  std::optional<Failure> failure;  // an error that made the limit not apply, if any
  std::vector<QueryStep> queries;
};

}  // namespace qbnotify
