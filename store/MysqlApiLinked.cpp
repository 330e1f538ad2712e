// The client library linked into the hosted build.
#include "store/MysqlApi.h"

namespace qbnotify {

const MysqlApi* MysqlClient() {
  static const MysqlApi api{
      &::mysql_init,         &::mysql_options,      &::mysql_real_connect,       &::mysql_close,
      &::mysql_real_query,   &::mysql_store_result, &::mysql_free_result,        &::mysql_num_rows,
      &::mysql_num_fields,   &::mysql_fetch_row,    &::mysql_fetch_lengths,      &::mysql_fetch_field_direct,
      &::mysql_field_count,  &::mysql_real_escape_string, &::mysql_error,        &::mysql_errno,
  };
  return &api;
}

}  // namespace qbnotify
