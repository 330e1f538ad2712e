#include "store/Database.h"

#include <algorithm>
#include <chrono>

#include "store/client/MysqlApi.h"
#include "store/ServerErrors.h"
#include "store/SqlParameters.h"

#include <errmsg.h>
#include <mysqld_error.h>

namespace qbnotify {
namespace {

const MysqlApi& Client() {
  const MysqlApi* api = MysqlClient();
  if (!api) throw DatabaseError("the MySQL client library is not available");
  return *api;
}

// Owns a stored result until the rows have been copied out.
struct ResultDeleter {
  void operator()(MYSQL_RES* result) const { Client().free_result(result); }
};
using ResultHandle = std::unique_ptr<MYSQL_RES, ResultDeleter>;

}  // namespace

// --- Connection ---

namespace {

using Clock = std::chrono::steady_clock;

// How long a statement waits, in all, for a cluster node that says it is not ready.
constexpr int kNotReadyPauseMilliseconds = 3000;

bool IsUnavailableAnswer(unsigned code) { return MeansUnavailable(KindOfError(code)); }

bool IsLostConnection(unsigned code) { return KindOfError(code) == ErrorKind::Lost; }

constexpr int kFirstConflictPauseMilliseconds = 5;
constexpr int kLongestConflictPauseMilliseconds = 400;
constexpr int kConflictRetryMilliseconds = 2000;

}  // namespace

Connection::~Connection() { Close(); }

void Connection::BeginHandler(std::optional<unsigned> waitBudgetMs) {
  server_->givenUp = false;
  server_->reason.clear();
  server_->budgetEnd.reset();
  server_->failed.assign(server_->servers.size(), false);
  server_->lastResort.reset();
  server_->usingLastResort = false;
  server_->connectDeadline.reset();
  server_->passedOver.clear();
  if (waitBudgetMs) server_->budgetEnd = Clock::now() + std::chrono::milliseconds(*waitBudgetMs);
  givenUp_ = false;
}

void Connections::BeginHandler(unsigned waitBudgetMs) {
  budgetEnd = Clock::now() + std::chrono::milliseconds(waitBudgetMs);
  for (Connection* connection : {DS.get(), DC.get(), Log.get()}) {
    if (!connection) continue;
    connection->BeginHandler();
    connection->SetBudgetEnd(budgetEnd);
  }
}

std::optional<long long> Connection::BudgetLeftMilliseconds() const {
  if (!server_->budgetEnd) return std::nullopt;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*server_->budgetEnd - Clock::now()).count();
  return std::max<long long>(left, 0);
}

void Connection::Pause(unsigned milliseconds) {
  const std::optional<long long> left = BudgetLeftMilliseconds();
  if (left && *left == 0) GiveUp(DatabaseError("the handler's wait budget is spent", CR_SERVER_GONE_ERROR), true);
  PauseMilliseconds(left ? static_cast<unsigned>(std::min<long long>(milliseconds, *left)) : milliseconds);
}

ConflictRetry::ConflictRetry(Connection& connection)
    : connection_(connection),
      seed_(static_cast<unsigned>(Clock::now().time_since_epoch().count())),
      pause_(kFirstConflictPauseMilliseconds),
      start_(Clock::now()) {}

void ConflictRetry::PauseOrGiveUp(const DatabaseError& error) {
  seed_ = seed_ * 1103515245u + 12345u;
  const long long spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
  const long long wait = std::min<long long>(pause_ / 2 + static_cast<int>((seed_ >> 8) % static_cast<unsigned>(pause_)),
                                             kConflictRetryMilliseconds - spent);
  // A conflict that lasts past the tries' time is treated like a server that does not
  // answer: the row it concerns can be kept and written later.
  if (wait <= 0) throw DatabaseError(error.what(), error.Code(), true);
  connection_.Pause(static_cast<unsigned>(wait));
  pause_ = std::min(pause_ * 2, kLongestConflictPauseMilliseconds);
}

void Connection::GiveUp(const DatabaseError& error, bool wholeServer) {
  Close();
  if (wholeServer) {
    server_->givenUp = true;
    server_->reason = error.what();
  } else {
    givenUp_ = true;
  }
  throw DatabaseError(error.what(), error.Code(), true);
}

void Connection::CheckNotGivenUp() {
  if (!server_->givenUp && BudgetLeftMilliseconds() == 0LL) {
    server_->givenUp = true;
    server_->reason = "the handler's wait budget is spent";
  }
  if (server_->givenUp)
    throw DatabaseError("the server did not answer earlier in this step (" + server_->reason + ")", CR_SERVER_GONE_ERROR,
                        true);
  if (givenUp_) throw DatabaseError("the " + name_ + " connection was lost earlier in this step", CR_SERVER_GONE_ERROR, true);
}

bool ServerState::MoveOn(const std::string& why) {
  if (!Failover()) return false;
  if (!failed[current]) {
    failed[current] = true;
    passedOver.push_back(servers[current].entry + ": " + why);
    if (onServerFailed) onServerFailed(servers[current], why);
  }
  if (budgetEnd && Clock::now() >= *budgetEnd) return false;
  if (connectDeadline && Clock::now() >= *connectDeadline) return false;
  // The order of preference, those not denied first; then a server that answered but is
  // read-only or out of sync, which can at least answer the checks' reads.
  std::optional<std::size_t> next;
  for (const bool skipDenied : {true, false}) {
    for (std::size_t i = 0; i < servers.size() && !next; ++i)
      if (!failed[i] && !(skipDenied && denied[i])) next = i;
  }
  if (!next && lastResort && !usingLastResort) {
    next = *lastResort;
    usingLastResort = true;
  }
  if (!next) return false;
  current = *next;
  ++generation;
  return true;
}

std::string Connection::ServerInUse() const {
  if (server_->Failover()) return server_->servers[server_->current].entry;
  return (host.empty() ? std::string("localhost") : host) + ":" + std::to_string(port);
}

unsigned Connection::ConnectTimeoutNow() {
  // A connect waits at most what is left of the handler's budget; with a list, at most the
  // server's own time-out and what is left of the connect time-out of the whole open.
  long long limitMs = 1000LL * connectTimeoutSeconds;
  if (server_->Failover()) {
    limitMs = std::min<long long>(limitMs, 1000LL * server_->serverConnectSeconds);
    if (!server_->connectDeadline)
      server_->connectDeadline = Clock::now() + std::chrono::seconds(connectTimeoutSeconds);
    limitMs = std::min<long long>(
        limitMs, std::chrono::duration_cast<std::chrono::milliseconds>(*server_->connectDeadline - Clock::now()).count());
  }
  if (const std::optional<long long> left = BudgetLeftMilliseconds()) limitMs = std::min(limitMs, *left);
  return static_cast<unsigned>(std::clamp<long long>((limitMs + 999) / 1000, 1, connectTimeoutSeconds));
}

namespace {

// Closes a handle that did not become a connection.
struct HandleCloser {
  const MysqlApi& api;
  MYSQL* handle;
  ~HandleCloser() {
    if (handle) api.close(handle);
  }
};

}  // namespace

void PrepareConnect(MYSQL* handle, const Connection& like, unsigned connectTimeoutSeconds, unsigned readTimeoutSeconds) {
  const MysqlApi& api = Client();
  // Every refusal below happens before a byte is sent: the server counts as unavailable.
  const auto refuse = [&](const std::string& why, unsigned code = CR_SSL_CONNECTION_ERROR) {
    throw DatabaseError(like.Name() + " connection: " + why, code, true);
  };
  unsigned connectTimeout = connectTimeoutSeconds;
  unsigned readTimeout = readTimeoutSeconds;
  unsigned writeTimeout = like.writeTimeoutSeconds;
  api.options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
  // Without these the client library waits for an answer for ever.
  api.options(handle, MYSQL_OPT_READ_TIMEOUT, &readTimeout);
  api.options(handle, MYSQL_OPT_WRITE_TIMEOUT, &writeTimeout);
  api.options(handle, MYSQL_SET_CHARSET_NAME, kConnectionCharset);
  // Nothing is loaded for a server that asks for another authentication method: only the one
  // the kit carries is allowed, and plugins come only from a folder that holds none.
  const std::string pluginDirectory = ClientPluginDirectory();
  if (pluginDirectory.empty() || api.options(handle, MYSQL_PLUGIN_DIR, pluginDirectory.c_str()) != 0 ||
      api.options(handle, MARIADB_OPT_RESTRICTED_AUTH, kAllowedAuthentication) != 0)
    refuse("the client library cannot be limited to the authentication the kit carries", CR_AUTH_PLUGIN_CANNOT_LOAD);
  if (like.tls == TlsMode::Off) return;
  if (!ClientCarriesTls() || !api.get_ssl_cipher)
    refuse(std::string("TLS=") + TlsModeName(like.tls) + " but this client library has no TLS: not connected");
  my_bool on = 1;
  if (api.options(handle, MYSQL_OPT_SSL_ENFORCE, &on) != 0) refuse("the client library cannot require TLS");
  if (like.tls == TlsMode::Verify) {
    if (like.tlsCaFile.empty()) refuse("TLS=verify needs TLSCAFile, the certificate authority to trust: not connected");
    if (api.options(handle, MYSQL_OPT_SSL_CA, like.tlsCaFile.c_str()) != 0 ||
        api.options(handle, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on) != 0)
      refuse("the client library cannot verify the server's certificate");
  }
}

std::string CheckEncryption(MYSQL* handle, const Connection& like) {
  const MysqlApi& api = Client();
  const char* cipher = api.get_ssl_cipher ? api.get_ssl_cipher(handle) : nullptr;
  if (like.tls != TlsMode::Off && (!cipher || !*cipher))
    throw DatabaseError(like.Name() + " connection: TLS=" + TlsModeName(like.tls) + " but it is not encrypted: closed",
                        CR_SSL_CONNECTION_ERROR, true);
  return cipher ? cipher : "";
}

void Connection::Connect(unsigned timeoutSeconds) {
  // A connection the settings named no server for (the file missing or unreadable) never
  // falls back to the client library's default, a server on this machine that any local
  // account could run: it counts as a server that does not answer, and rows are kept.
  if (host.empty()) throw DatabaseError("the settings name no server for the " + name_ + " connection", 0, true);
  const MysqlApi& api = Client();
  HandleCloser owned{api, api.init(nullptr)};
  MYSQL* const handle = owned.handle;
  if (!handle) throw DatabaseError("out of memory creating the " + name_ + " connection");
  // Within a handler a connection waits for an answer no longer than the budget has left.
  unsigned readTimeout = readTimeoutSeconds;
  if (const std::optional<long long> left = BudgetLeftMilliseconds())
    readTimeout = static_cast<unsigned>(std::clamp<long long>((*left + 999) / 1000, 1, readTimeoutSeconds));
  PrepareConnect(handle, *this, timeoutSeconds, readTimeout);
  if (!api.real_connect(handle, host.c_str(), user.c_str(), password.c_str(), database.c_str(),
                        static_cast<unsigned>(port), nullptr, 0)) {
    const unsigned code = api.errno_(handle);
    throw DatabaseError(api.error(handle), code, true);
  }
  cipher_ = CheckEncryption(handle, *this);
  handleReadTimeoutSeconds_ = readTimeout;
  handle_ = handle;
  owned.handle = nullptr;
}

std::optional<Unreadiness> Connection::AskReadiness() {
  bool lost = false;
  try {
    const Result answer = Send(kReadinessQuery, lost);
    std::map<std::string, std::string> variables;
    for (const auto& row : answer.rows)
      if (row.size() == 2 && row[0] && row[1]) {
        std::string name = *row[0];
        for (char& c : name)
          if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        variables[name] = *row[1];
      }
    return JudgeReadiness(variables);
  } catch (const DatabaseError& error) {
    // A node that refuses every statement, or a server that stops answering, cannot serve;
    // a server that does not know the query's tables (not this server family) is taken as
    // it is.
    if (lost || MeansUnavailable(KindOfError(error.Code()))) return Unreadiness{error.what(), false};
    return std::nullopt;
  }
}

void Connection::Open() {
  ServerState& server = *server_;
  if (handle_ && server.Failover() && generation_ != server.generation) Close();  // the farm moved on
  if (handle_) return;
  for (;;) {
    CheckNotGivenUp();
    if (server.Failover()) {
      host = server.servers[server.current].address.host;
      port = server.servers[server.current].address.port;
    }
    try {
      Connect(ConnectTimeoutNow());
    } catch (const DatabaseError& error) {
      // Whatever the reason (no server, no answer, a refused account, a missing database),
      // the server is not tried again in this handler: each try could cost the whole
      // connect time-out.
      if (server.MoveOn(error.what())) continue;
      GiveUp(error, true);
    }
    generation_ = server.generation;
    for (const std::string& sql : afterConnect) {
      bool lost = false;
      try {
        Send(sql, lost);
      } catch (const DatabaseError& error) {
        Close();
        if (server.MoveOn(error.what())) break;
        GiveUp(error, true);
      }
    }
    if (!handle_) continue;
    if (server.Failover() && server.verified != server.generation && !server.usingLastResort) {
      if (const std::optional<Unreadiness> unready = AskReadiness()) {
        Close();
        if (unready->soft && !server.lastResort) server.lastResort = server.current;
        if (server.MoveOn(unready->reason)) continue;
        GiveUp(DatabaseError(unready->reason, CR_SERVER_GONE_ERROR, true), true);
      }
      server.verified = server.generation;
    }
    server.connectDeadline.reset();  // the connect time-out bounds one open, not the handler
    return;
  }
}

void Connection::Close() {
  if (!handle_) return;
  Client().close(handle_);
  handle_ = nullptr;
  cipher_.clear();
  counterNotes = {};
}

Connection::Result Connection::Send(const std::string& sql, bool& lost) {
  lost = false;
  const MysqlApi& api = Client();
  ++queriesSent_;
  const auto fail = [&](const char* what) {
    const unsigned code = api.errno_(handle_);
    std::string message = api.error(handle_);
    if (message.empty()) message = what;
    lost = IsLostConnection(code);
    if (lost) Close();
    throw DatabaseError(message, code, IsUnavailableAnswer(code));
  };
  if (api.send_query(handle_, sql.data(), static_cast<unsigned long>(sql.size())) != 0) fail("query failed");
  // The client library's read time-out was fixed when it connected; within a handler the wait
  // also ends with the budget, and a server that has not answered by then is given up.
  if (const std::optional<long long> left = BudgetLeftMilliseconds()) {
    if (!WaitForAnswer(handle_, *left))
      GiveUp(DatabaseError("the server did not answer within the handler's wait budget", CR_SERVER_LOST, true), true);
  }
  if (api.read_query_result(handle_) != 0) fail("query failed");

  Result result;
  ResultHandle stored(api.store_result(handle_));
  if (!stored) {
    if (api.field_count(handle_) != 0) fail("could not fetch the result");
    result.affectedRows = api.affected_rows(handle_);
    result.insertId = api.insert_id(handle_);
    DiscardFurtherResults(fail);
    return result;  // a statement without a result
  }
  const unsigned columns = api.num_fields(stored.get());
  for (unsigned i = 0; i < columns; ++i) result.columns.emplace_back(api.fetch_field_direct(stored.get(), i)->name);
  result.rows.reserve(static_cast<std::size_t>(api.num_rows(stored.get())));
  while (MYSQL_ROW row = api.fetch_row(stored.get())) {
    const unsigned long* lengths = api.fetch_lengths(stored.get());
    auto& out = result.rows.emplace_back(columns);
    for (unsigned i = 0; i < columns; ++i)
      if (row[i]) out[i] = std::string(row[i], lengths[i]);
  }
  DiscardFurtherResults(fail);
  return result;
}

template <typename Fail>
void Connection::DiscardFurtherResults(const Fail& fail) {
  // A compound statement (BEGIN NOT ATOMIC ... END) answers its rows, then the status of the
  // whole: the connection serves nothing else until every answer has been read.
  const MysqlApi& api = Client();
  while (api.more_results(handle_)) {
    if (api.next_result(handle_) != 0) fail("a compound statement failed");
    ResultHandle further(api.store_result(handle_));
    if (!further && api.field_count(handle_) != 0) fail("could not fetch the result");
  }
}

Connection::Result Connection::Query(const std::string& sql, Resend resend) {
  if (resend == Resend::InTransaction) return QueryInTransaction(sql);
  CheckNotGivenUp();
  // A connection the server closed while it lay idle (a restart, a KILL, an idle time-out)
  // cannot have run anything sent on it: connect anew before sending, not after a failure.
  if (handle_ && ConnectionClosedByServer(handle_)) Close();
  ServerState& server = *server_;
  lastResent_ = false;
  int notReadyPause = 0;
  const int sendings = server.Failover() ? static_cast<int>(server.servers.size()) + 1 : 2;
  for (int attempt = 1;; ++attempt) {
    lastResent_ = attempt > 1;
    Open();
    const Clock::time_point sent = Clock::now();
    bool lost = false;
    try {
      return Send(sql, lost);
    } catch (const DatabaseError& error) {
      // A cluster node that is rejoining refuses every statement without running it, for a
      // second or two: any statement may wait for it (a read that gave up here would let a
      // session in unchecked), or, with a list, go to the next server at once. One that stays
      // not ready is cut off from its cluster: it is not asked again in this handler.
      if (KindOfError(error.Code()) == ErrorKind::NotReady) {
        --attempt;
        if (server.Failover()) {
          Close();
          if (server.MoveOn(error.what())) continue;
          GiveUp(error, true);
        }
        if (notReadyPause >= kNotReadyPauseMilliseconds) GiveUp(error, true);
        Pause(100);
        notReadyPause += 100;
        continue;
      }
      if (!lost) throw;
      // The client library reports a time-out as a lost connection; the time tells them apart.
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
      const long long limit = 1000LL * std::min(handleReadTimeoutSeconds_, writeTimeoutSeconds);
      const bool timedOut = waited + 500 >= limit;
      if (server.Failover()) {
        // A server that stopped answering is left at once; one that closed the connection is
        // connected to again, and left only if that fails.
        if (timedOut && !server.MoveOn(error.what())) GiveUp(error, true);
        if (resend == Resend::Never || attempt >= sendings) throw DatabaseError(error.what(), error.Code(), true);
        continue;
      }
      if (timedOut) GiveUp(error, true);
      if (resend == Resend::Never || attempt == 2) GiveUp(error, false);
    }
  }
}

Connection::Result Connection::QueryInTransaction(const std::string& sql) {
  CheckNotGivenUp();
  if (handle_ && ConnectionClosedByServer(handle_)) Close();
  if (!handle_)
    GiveUp(DatabaseError("the " + name_ + " connection was lost within a transaction", CR_SERVER_LOST, true), false);
  lastResent_ = false;
  const Clock::time_point sent = Clock::now();
  bool lost = false;
  try {
    return Send(sql, lost);
  } catch (const DatabaseError& error) {
    if (!lost) throw;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
    GiveUp(error, waited + 500 >= 1000LL * std::min(readTimeoutSeconds, writeTimeoutSeconds));
  }
}

std::string Connection::QuoteText(std::string_view text) {
  Open();
  std::string escaped(text.size() * 2 + 1, '\0');
  const unsigned long length =
      Client().real_escape_string(handle_, escaped.data(), text.data(), static_cast<unsigned long>(text.size()));
  escaped.resize(length);
  return "'" + escaped + "'";
}

}  // namespace qbnotify
