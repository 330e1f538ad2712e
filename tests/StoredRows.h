// The rows of a stored result as texts, NULL read as `nullText`, with the column names in
// `columns` when given; frees the result. Shared by the administrators' connections of the
// tests, the benchmarks, the fault suite and the cluster tests.
#pragma once

#include <mysql.h>

#include <string>
#include <vector>

namespace qbnotify::test {

inline std::vector<std::vector<std::string>> TakeStoredRows(MYSQL_RES* result, const std::string& nullText = "<NULL>",
                                                            std::vector<std::string>* columns = nullptr) {
  std::vector<std::vector<std::string>> rows;
  const unsigned count = mysql_num_fields(result);
  if (columns) {
    columns->clear();
    for (unsigned i = 0; i < count; ++i) columns->push_back(mysql_fetch_field_direct(result, i)->name);
  }
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    const unsigned long* lengths = mysql_fetch_lengths(result);
    auto& out = rows.emplace_back();
    for (unsigned i = 0; i < count; ++i) out.push_back(row[i] ? std::string(row[i], lengths[i]) : nullText);
  }
  mysql_free_result(result);
  return rows;
}

}  // namespace qbnotify::test
