// The narrow set of MySQL client-library calls that the data store uses.
//
// Only calls whose binary form is the same across client-library generations are listed:
// plain queries, stored results, rows with their lengths, column names read through the
// field's `name` member, and escaping on a connection whose character set was set before
// connecting. No prepared statements. The Windows build fills the table from a client
// library loaded at run time; the hosted build from the library it links.
#pragma once

#include <mysql.h>

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
};

// The client library's calls, or nullptr when no usable client library can be had (every
// connection then fails to open). The first call may load the library; later calls answer
// the same table.
const MysqlApi* MysqlClient();

}  // namespace qbnotify
