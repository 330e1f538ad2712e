// The rows of a stored result as texts, NULL read as "<NULL>"; frees the result. Shared by
// the administrators' connections of the database tests, the fault suite and the cluster
// tests.
#pragma once

#include <mysql.h>

#include <string>
#include <vector>

namespace qbnotify::test {

inline std::vector<std::vector<std::string>> TakeStoredRows(MYSQL_RES* result) {
  std::vector<std::vector<std::string>> rows;
  const unsigned columns = mysql_num_fields(result);
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    const unsigned long* lengths = mysql_fetch_lengths(result);
    auto& out = rows.emplace_back();
    for (unsigned i = 0; i < columns; ++i) out.push_back(row[i] ? std::string(row[i], lengths[i]) : "<NULL>");
  }
  mysql_free_result(result);
  return rows;
}

}  // namespace qbnotify::test
