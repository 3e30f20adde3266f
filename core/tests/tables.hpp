// Case tables kept as data in core/tests/tables/NAME.jsonl: one JSON array a
// row, a line each; blank lines and lines starting with # are skipped.
#pragma once

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quarl::testing_support {

inline std::vector<nlohmann::json> table_rows(std::string_view name) {
  const std::string path = std::string(TESSEL_SOURCE_DIR) + "/core/tests/tables/" + std::string(name) + ".jsonl";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<nlohmann::json> rows;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && !line.starts_with('#')) rows.push_back(nlohmann::json::parse(line));
  if (rows.empty()) throw std::runtime_error("no rows in " + path);
  return rows;
}

}  // namespace quarl::testing_support
