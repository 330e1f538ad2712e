#include "tools/qbnotify-report/RowStream.h"

#include <memory>

#include "store/client/MysqlApi.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace qbnotify::report {
namespace {

// A report's statements sort and group whole tables: far longer than the library's own.
constexpr unsigned kReadTimeoutSeconds = 3600;

using UseResultCall = decltype(&::mysql_use_result);

// The call the library itself never needs. On Windows the client library is loaded at run
// time (by the first connection), and the call is looked up in it by name.
UseResultCall UseResult() {
#ifdef _WIN32
  if (HMODULE module = GetModuleHandleA("libmariadb.dll"))
    if (FARPROC call = GetProcAddress(module, "mysql_use_result")) return reinterpret_cast<UseResultCall>(reinterpret_cast<void*>(call));
  return nullptr;
#else
  return &::mysql_use_result;
#endif
}

const MysqlApi& Api() {
  const MysqlApi* api = MysqlClient();
  if (!api) throw DatabaseError("no usable MySQL client library");
  return *api;
}

}  // namespace

RowStream::RowStream(const Connection& like) {
  const MysqlApi& api = Api();
  handle_ = api.init(nullptr);
  if (!handle_) throw DatabaseError("out of memory creating a connection");
  try {
    PrepareConnect(handle_, like, like.connectTimeoutSeconds, kReadTimeoutSeconds);
    if (!api.real_connect(handle_, like.host.empty() ? nullptr : like.host.c_str(), like.user.c_str(),
                          like.password.c_str(), like.database.c_str(), static_cast<unsigned>(like.port), nullptr, 0))
      throw DatabaseError(api.error(handle_), api.errno_(handle_), true);
    CheckEncryption(handle_, like);
  } catch (...) {
    api.close(handle_);
    handle_ = nullptr;
    throw;
  }
  Run("SET SESSION TRANSACTION READ ONLY");
}

RowStream::~RowStream() {
  if (handle_) Api().close(handle_);
}

void RowStream::Fail(const std::string& what) {
  const MysqlApi& api = Api();
  const unsigned code = api.errno_(handle_);
  const std::string message = api.error(handle_);
  throw DatabaseError(what + ": " + message, code);
}

void RowStream::Run(const std::string& sql) {
  const MysqlApi& api = Api();
  if (api.real_query(handle_, sql.data(), static_cast<unsigned long>(sql.size())) != 0) Fail("statement failed");
  if (MYSQL_RES* result = api.store_result(handle_)) api.free_result(result);
}

std::string RowStream::Quote(std::string_view text) {
  std::string escaped(text.size() * 2 + 1, '\0');
  const unsigned long length =
      Api().real_escape_string(handle_, escaped.data(), text.data(), static_cast<unsigned long>(text.size()));
  escaped.resize(length);
  return "'" + escaped + "'";
}

void RowStream::Each(const std::string& sql, const std::function<void(const Row&)>& row) {
  Send(sql);
  EachSent(row);
}

void RowStream::Send(const std::string& sql) {
  if (Api().send_query(handle_, sql.data(), static_cast<unsigned long>(sql.size())) != 0) Fail("query failed");
}

void RowStream::EachSent(const std::function<void(const Row&)>& row) {
  const MysqlApi& api = Api();
  const UseResultCall useResult = UseResult();
  if (!useResult) throw DatabaseError("the MySQL client library has no mysql_use_result");
  if (api.read_query_result(handle_) != 0) Fail("query failed");
  const std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> result(useResult(handle_), [](MYSQL_RES* r) {
    // Freeing reads whatever rows remain, so the connection can be used again.
    if (r) Api().free_result(r);
  });
  if (!result) Fail("could not read the result");
  const unsigned columns = api.num_fields(result.get());
  Row values(columns);
  while (MYSQL_ROW fields = api.fetch_row(result.get())) {
    const unsigned long* lengths = api.fetch_lengths(result.get());
    for (unsigned i = 0; i < columns; ++i)
      values[i] = fields[i] ? std::string_view(fields[i], lengths[i]) : std::string_view();
    row(values);
  }
  if (api.errno_(handle_) != 0) Fail("reading the result failed");
}

}  // namespace qbnotify::report
