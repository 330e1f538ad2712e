// Database connections and statements with named parameters.
//
// Each statement is rendered in the client into one plain text query: every parameter
// reference becomes the literal of its bound value (a text through the client library's
// own escaping for the connection's character set, an integer in decimal, a date-time as
// 'YYYY-MM-DD HH:MM:SS', an unbound parameter as NULL). Results are fetched whole. Every
// failure is raised as DatabaseError carrying the client library's or the server's message
// (store/Failure.h says how failures travel from there).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "environment/TlsSettings.h"
#include "platform/Platform.h"
#include "store/Failure.h"
#include "store/ServerList.h"
#include "store/SqlParameters.h"

struct st_mysql;

namespace qbnotify {

struct MysqlApi;

// How long one statement may wait for the server. The slowest statement the library sends
// (a session-load search over 100,000 rows) takes about 0.15 s; a server that has not
// answered within these has stopped, or the network between has.
inline constexpr unsigned kReadTimeoutSeconds = 10;
inline constexpr unsigned kWriteTimeoutSeconds = 10;
inline constexpr unsigned kConnectTimeoutSeconds = 30;

// How long one handler may wait for the database in all: connects, waits for a cluster node
// to be ready, pauses between retries, and the write-back of kept rows. Once it is spent the
// server counts as unavailable for the rest of the handler (docs/admin/failures.md: "How long
// a handler waits").
inline constexpr unsigned kHandlerWaitBudgetMilliseconds = 15000;

// What the handler that runs now has learnt of a server: once a connect has failed, a
// statement has timed out, a cluster node has stayed not ready, or the handler's wait budget
// is spent, every later statement to that server in the same handler fails at once instead
// of waiting again. The three connections of a session share one, since they reach one
// server.
//
// With two or more listed servers it also says which one the three connections use now.
// A server that fails (no connection, a statement timed out, a node not ready, an answer to
// the readiness query that it cannot serve) is left for the next listed one that has not
// failed in this handler, preferring those the deny state does not hold; the connections
// follow at their next statement. Only when every server has failed is the farm given up.
struct ServerState {
  bool givenUp = false;
  std::string reason;  // the error that gave it up
  // When the handler's wait budget ends; none outside a handler (the tools wait as long as
  // each statement's own time-outs allow).
  std::optional<std::chrono::steady_clock::time_point> budgetEnd;

  // The listed servers (fewer than two: none, and the connections keep their own host and
  // port, with no readiness query and no moving on).
  std::vector<ListedServer> servers;
  std::vector<bool> denied;             // skipped while others may serve (the deny state)
  std::vector<bool> failed;             // failed in this handler
  std::size_t current = 0;              // the server in use
  unsigned generation = 0;              // counts the moves; a connection of an older one reconnects
  std::optional<unsigned> verified;     // the generation whose server passed the readiness query
  std::optional<std::size_t> lastResort;  // answered, but read-only or out of sync
  bool usingLastResort = false;
  unsigned serverConnectSeconds = kDefaultServerConnectSeconds;
  // When the connects of the open in progress must end (the connect time-out from its first).
  std::optional<std::chrono::steady_clock::time_point> connectDeadline;
  // Told of every server that failed, with the reason (the deny state keeps it).
  std::function<void(const ListedServer& server, const std::string& reason)> onServerFailed;
  std::vector<std::string> passedOver;  // "entry: reason" of each server left in this handler

  bool Failover() const { return servers.size() >= 2; }
  // Leaves the server in use for the next one; false when none is left (given up).
  bool MoveOn(const std::string& why);
};

// The texts travel as code-page-936 bytes, so every connection states that character set
// before it connects: that keeps the bytes unchanged on the server and the escaping right.
inline constexpr const char* kConnectionCharset = "gbk";

class Connection {
 public:
  explicit Connection(std::string name) : name_(std::move(name)), server_(std::make_shared<ServerState>()) {}
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& Name() const { return name_; }
  bool IsOpen() const { return handle_ != nullptr; }

  // Connection values; the port is handed on as it was converted.
  std::string host;  // empty: the local machine
  std::int32_t port = 3306;
  std::string user;
  std::string password;
  std::string database;
  unsigned connectTimeoutSeconds = kConnectTimeoutSeconds;
  unsigned readTimeoutSeconds = kReadTimeoutSeconds;
  unsigned writeTimeoutSeconds = kWriteTimeoutSeconds;
  // Encryption ([DSConnection] TLS and TLSCAFile): with required or verify a connection that
  // cannot be made so is not made, and the server counts as unavailable.
  TlsMode tls = TlsMode::Off;
  std::string tlsCaFile;

  // Connects with the values above. Throws DatabaseError on failure (the connection stays
  // closed, and the server is given up for the rest of the handler). Does nothing when open.
  void Open();
  // Disconnects; does nothing when closed.
  void Close();

  // This connection reaches the same server as `other`: what one handler learns of the
  // server is shared (see ServerState).
  void ShareServerWith(const Connection& other) { server_ = other.server_; }
  ServerState& Server() { return *server_; }
  const ServerState& Server() const { return *server_; }
  // The server this connection reaches (with a list: the one in use, as listed), host:port.
  std::string ServerInUse() const;

  // Statements sent after every connect, before anything else (a tool's read-only session):
  // a connection opened anew, or on another server, keeps them.
  std::vector<std::string> afterConnect;
  // A new handler begins: a server or connection given up by the last one may be tried
  // again, and the handler's wait budget starts (none: no budget).
  void BeginHandler(std::optional<unsigned> waitBudgetMs = std::nullopt);

  // Sets when the handler's wait budget ends (none: no budget), for a connection created
  // after its handler began.
  void SetBudgetEnd(std::optional<std::chrono::steady_clock::time_point> end) { server_->budgetEnd = end; }

  // What is left of the handler's wait budget, in milliseconds (0 when spent); nullopt when
  // there is none.
  std::optional<long long> BudgetLeftMilliseconds() const;
  // Pauses for `milliseconds`, or what is left of the budget if less. Raises DatabaseError
  // (the server unavailable, given up for the rest of the handler) when the budget is spent.
  void Pause(unsigned milliseconds);

  // Whether a statement may be sent a second time when the connection was lost while it
  // waited for the answer (so that the server may or may not have run it).
  enum class Resend {
    Never,   // the statement might do its work twice
    IfLost,  // running it twice does no harm: an identifier draw (a number may be skipped),
             // or an insert under a key (a second insert is refused as a duplicate)
    InTransaction,  // part of a transaction begun earlier on this connection: sent as
                    // QueryInTransaction sends it
  };

  // Runs one query and returns its whole result, or an empty result for a statement without
  // one. Before sending, a connection that is closed, or that the server has closed while it
  // lay idle, is opened anew: nothing sent on it could have run. A connection lost while
  // waiting for the answer is closed and given up for the rest of the handler, unless
  // `resend` allows one more try on a new connection. A statement that times out gives the
  // server up for the rest of the handler; so does a cluster node that stays not ready (1047)
  // for 3 s, or a spent wait budget. Within a handler the wait for an answer ends with the
  // budget: a server that has not answered by then is given up the same way.
  // Throws DatabaseError.
  struct Result {
    std::vector<std::string> columns;
    std::vector<std::vector<std::optional<std::string>>> rows;
    std::uint64_t affectedRows = 0;
    std::uint64_t insertId = 0;
  };
  Result Query(const std::string& sql, Resend resend = Resend::Never);

  // Runs one query of a transaction that an earlier query on this connection began: never
  // on a connection opened anew (that would run it outside the transaction) and never sent
  // twice. A connection that is closed, or that the server has closed, fails at once; one
  // lost while the answer is awaited is given up for the rest of the handler (the whole
  // server when it timed out). Throws DatabaseError.
  Result QueryInTransaction(const std::string& sql);

  // Renders a text as a quoted literal for this connection (opening it first when closed).
  std::string QuoteText(std::string_view text);

  // Whether the last query was sent a second time on a new connection (its first sending may
  // have run: an insert under a key that is then refused as a duplicate has landed).
  bool LastQueryResent() const { return lastResent_; }

  // The cipher of the open connection; empty when it is not encrypted (or not open).
  const std::string& Cipher() const { return cipher_; }

  // How many queries this connection has sent, for measurements.
  std::uint64_t QueriesSent() const { return queriesSent_; }

  // What the identifier draws have learnt of the counter table through this connection
  // (store/Identifiers.cpp). Forgotten when it closes: opened anew it may reach another server.
  struct CounterNotes {
    unsigned singleDraws = 0;
    std::optional<bool> keyedOnHead;  // a unique key on Head alone: one row per head
  };
  CounterNotes counterNotes;

 private:
  // Sends a query on the open connection. On failure throws DatabaseError; `lost` tells
  // whether the connection was lost (and closed) rather than refused by the server.
  Result Send(const std::string& sql, bool& lost);
  // Reads and drops the answers that follow a compound statement's first; `fail` raises.
  template <typename Fail>
  void DiscardFurtherResults(const Fail& fail);
  // Connects to host:port once, with `timeoutSeconds`; throws DatabaseError.
  void Connect(unsigned timeoutSeconds);
  // With a list: whether the server just connected to can serve (the readiness query).
  std::optional<Unreadiness> AskReadiness();
  unsigned ConnectTimeoutNow();
  [[noreturn]] void GiveUp(const DatabaseError& error, bool wholeServer);
  void CheckNotGivenUp();

  std::string name_;
  st_mysql* handle_ = nullptr;
  std::shared_ptr<ServerState> server_;
  bool givenUp_ = false;  // this connection alone, lost during a statement
  bool lastResent_ = false;
  std::uint64_t queriesSent_ = 0;
  unsigned generation_ = 0;  // of the server the open handle reaches
  unsigned handleReadTimeoutSeconds_ = kReadTimeoutSeconds;  // the open handle's read time-out
  std::string cipher_;
};

// A statement on one connection: SQL text with named parameters, bound values and, after
// Open, the whole fetched result with a current row.
class Statement {
 public:
  // Throws DatabaseError when there is no connection (never opened, or released).
  explicit Statement(Connection* connection);

  // Discards the fetched result and takes a new text; the parameters are those it names.
  void SetSql(std::string sql);
  // Bind the parameter of that name (matched without regard to case). Throws DatabaseError
  // for a name the text does not hold.
  void BindText(std::string_view name, std::string value);
  void BindInteger(std::string_view name, std::int32_t value);
  void BindDateTime(std::string_view name, const DateTime& value);

  // Runs a statement that returns rows and fetches them all; the current row is the first.
  // A read is sent again after a lost connection (on the next server of a list), unless it
  // belongs to a transaction (Resend::Never).
  void Open(Connection::Resend resend = Connection::Resend::IfLost);
  // Runs a statement that returns no rows; `resend` as for Connection::Query.
  void Execute(Connection::Resend resend = Connection::Resend::Never);
  // What the last Execute did: rows changed, and the value the statement handed back as the
  // insert id (LAST_INSERT_ID(expr) sets it).
  std::uint64_t AffectedRows() const { return result_.affectedRows; }
  std::uint64_t InsertId() const { return result_.insertId; }
  Connection& GetConnection() const { return *connection_; }
  // Discards the fetched result; the text and bindings stay.
  void Close();

  std::size_t RowCount() const { return result_.rows.size(); }
  bool IsEmpty() const { return result_.rows.empty(); }
  void First() { current_ = 0; }
  // Makes the row with that index (counted from 0) the current row.
  void Seek(std::size_t row) { current_ = row; }

  // The current row's value of a column, by name (without regard to case) or position.
  // NULL, and any column of an empty result, read as "" and 0. Throws DatabaseError for a
  // column the result does not have, or a value that does not read as an integer.
  std::string ColumnText(std::string_view column) const;
  std::string ColumnText(std::size_t position) const;
  std::int32_t ColumnInteger(std::string_view column) const;
  std::int32_t ColumnInteger(std::size_t position) const;
  // Whether the current row's value at that position is NULL (true for an empty result).
  bool ColumnIsNull(std::size_t position) const;

  // The query text as it is sent to the server.
  std::string Render() const;

 private:
  using Value = std::variant<std::monostate, std::string, std::int32_t, DateTime>;
  Value* Parameter(std::string_view name);
  std::size_t ColumnPosition(std::string_view column) const;
  const std::optional<std::string>* Cell(std::size_t position) const;

  Connection* connection_;
  std::string sql_;
  std::vector<SqlPiece> pieces_;  // sql_ scanned, parameter names folded
  std::map<std::string, Value> parameters_;  // by folded name
  Connection::Result result_;
  std::size_t current_ = 0;
};

// What every connection sets on a new client handle before it connects (also a tool's own
// connections): the time-outs, the character set, the one authentication method allowed, a
// plugin directory that holds nothing, and the encryption `like` asks for. Raises
// DatabaseError (the server unavailable) when the client library cannot do one of them.
void PrepareConnect(st_mysql* handle, const Connection& like, unsigned connectTimeoutSeconds, unsigned readTimeoutSeconds);
// After a connect: the cipher of the connection ("" when not encrypted). Raises DatabaseError
// (the server unavailable) when `like` asks for encryption and the connection has none.
std::string CheckEncryption(st_mysql* handle, const Connection& like);

// Renders a date-time as the server reads it; the zero value gives "0000-00-00 00:00:00".
std::string FormatDateTime(const DateTime& value);

// The three process-wide connections. A null pointer: not created yet, or released.
struct Connections {
  std::unique_ptr<Connection> DS;
  std::unique_ptr<Connection> DC;
  std::unique_ptr<Connection> Log;

  // A new handler begins, with the handler's wait budget (see Connection::BeginHandler);
  // connections that OpenConnections creates later in the handler draw from it too.
  void BeginHandler(unsigned waitBudgetMs = kHandlerWaitBudgetMilliseconds);
  std::optional<std::chrono::steady_clock::time_point> budgetEnd;  // of the handler running now
  // With a list of servers: whether what the connections learn goes into the deny state
  // (false: it is read, never written; the tools write nothing).
  bool updateDenyState = true;
};

// Pauses between the tries of a statement that met a conflict (ErrorKind::Conflict): doubling
// from 5 ms up to 400 ms, with a random part so that sessions that collided do not collide
// again in step, for at most 2 s from the first try (the tries' own waits included), within
// the handler's wait budget.
class ConflictRetry {
 public:
  explicit ConflictRetry(Connection& connection);
  // Pauses before the next try. Raises `error` again, as the server being unavailable (a row
  // is then kept), when the tries' time is spent; raises as Pause does.
  void PauseOrGiveUp(const DatabaseError& error);

 private:
  Connection& connection_;
  unsigned seed_;
  int pause_;
  std::chrono::steady_clock::time_point start_;
};

// Gives a connection the coordinates that the settings name: the host and port of the
// "DSHost" value `dsHost` (of a list, its first server), DS's account and password, the
// database that `databaseKey` of `section` names, and the encryption of [DSConnection]. Raises DatabaseError when `dsHost` names
// no valid host:port.
void ConfigureConnection(Platform& platform, Connection& connection, const std::string& dsHost, const char* section,
                         const char* databaseKey);

// Creates the three connections, configures them from the connection settings and opens
// them in the order DS, DC, Log. False at the first failure: the connections opened so far
// stay open, the rest keep the values they had. Never throws.
// With a list of servers all three go to the first listed server that connects and can
// serve (store/ServerList.h), skipping those the deny state holds while another may serve;
// a server that fails is added to the deny state, and the server used is taken out of it.
bool OpenConnections(Platform& platform, Connections& connections);

}  // namespace qbnotify
