// The narrow set of MySQL client-library calls that the data store uses.
//
// Only calls whose binary form is the same across client-library generations are listed:
// plain queries, stored results (with the further results a compound statement ends with), rows with their lengths, column names read through the
// field's `name` member, and escaping on a connection whose character set was set before
// connecting. No prepared statements. The Windows build fills the table from a client
// library loaded at run time; the hosted build from the library it links.
#pragma once

#include <mysql.h>

#include <string>

namespace qbnotify {

struct MysqlApi {
  decltype(&::mysql_init) init;
  decltype(&::mysql_options) options;
  decltype(&::mysql_real_connect) real_connect;
  decltype(&::mysql_close) close;
  decltype(&::mysql_real_query) real_query;
  decltype(&::mysql_store_result) store_result;
  decltype(&::mysql_free_result) free_result;
  decltype(&::mysql_num_rows) num_rows;
  decltype(&::mysql_num_fields) num_fields;
  decltype(&::mysql_fetch_row) fetch_row;
  decltype(&::mysql_fetch_lengths) fetch_lengths;
  decltype(&::mysql_fetch_field_direct) fetch_field_direct;
  decltype(&::mysql_field_count) field_count;
  decltype(&::mysql_real_escape_string) real_escape_string;
  decltype(&::mysql_error) error;
  decltype(&::mysql_errno) errno_;
  decltype(&::mysql_affected_rows) affected_rows;
  decltype(&::mysql_insert_id) insert_id;
  decltype(&::mysql_get_socket) get_socket;
  // A statement sent apart from the wait for its answer, so that the wait can end with the
  // handler's budget (WaitForAnswer).
  decltype(&::mysql_send_query) send_query;
  decltype(&::mysql_read_query_result) read_query_result;
  // The cipher of an encrypted connection, or nullptr. May be missing from a client library
  // without TLS (nullptr here): such a library makes no encrypted connection.
  decltype(&::mysql_get_ssl_cipher) get_ssl_cipher;
  // The further answers of a compound statement, read and dropped.
  decltype(&::mysql_more_results) more_results;
  decltype(&::mysql_next_result) next_result;
};

// The only authentication method the kit's client library carries; a server that asks for
// another one is refused before anything could be loaded for it.
inline constexpr const char* kAllowedAuthentication = "mysql_native_password";

// The client library's plugin directory: an absolute folder that only administrators can
// write and that holds no plugin (it need not exist), so that nothing a server or the
// environment names is ever loaded from elsewhere.
std::string ClientPluginDirectory();

// Whether this build's client library can encrypt connections (TLS 1.2 or later).
bool ClientCarriesTls();

// Waits until the answer to a statement sent on `handle` can be read, at most
// `milliseconds`. False when that time passed first; true when the answer (or the end of the
// connection) is there, or when it cannot tell (the client library's own time-out holds).
bool WaitForAnswer(MYSQL* handle, long long milliseconds);

// The client library's calls, or nullptr when no usable client library can be had (every
// connection then fails to open). The first call may load the library; later calls answer
// the same table.
const MysqlApi* MysqlClient();

// Which client library `MysqlClient` answers: the file it was loaded from and the version it
// reports of itself. Either is empty where it cannot be told (no library; a library without
// the version call). For the administrators' check only: the library never needs it.
struct MysqlClientIdentity {
  std::string file;
  std::string version;
};
MysqlClientIdentity DescribeMysqlClient();

// Whether an idle connection's socket has been closed by the server, or holds a message the
// server sent unasked (the notice it sends before it drops a connection): either way the
// connection can no longer run a statement, and nothing sent on it could have run. Never
// blocks; false when it cannot tell.
bool ConnectionClosedByServer(MYSQL* handle);

// Blocks the calling thread for the given number of milliseconds (between retries).
void PauseMilliseconds(unsigned milliseconds);

}  // namespace qbnotify
