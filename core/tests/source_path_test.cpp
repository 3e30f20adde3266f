#include "modules/paths.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "outcomes.hpp"
#include "quarl/error.hpp"
#include "tables.hpp"

namespace quarl {
namespace {

std::string segments(std::size_t n) {
  std::string path = ".";
  for (std::size_t i = 0; i < n; ++i) path += "/s";
  return path;
}

struct ResolveCase {
  std::optional<std::string> importer;
  std::string path;
  std::string result;
};

TEST(SourcePath, ResolveVirtual) {
  const std::string too_many = "resource limit exceeded: import path exceeds maximum segment count (256): ";
  const std::vector<ResolveCase> cases = {
      {"lib/x.quarl", "./a/../b.quarl", "lib/b.quarl"},
      {"lib/x.quarl", "./a//b.quarl", "lib/a/b.quarl"},
      {"lib/deep/x.quarl", "../../top.quarl", "top.quarl"},
      {"x.quarl", "./sub/y.quarl", "sub/y.quarl"},
      {"x.quarl", "../x.quarl",
       "quarl::import: import error: import path escapes project directory: \"../x.quarl\""},
      {"x.quarl", "./.", "quarl::import: import error: import path resolves to empty key: \"./.\""},
      {"x.quarl", "", "quarl::import: import error: import path is empty"},
      {"x.quarl", std::string("./a\0b", 5), "quarl::import: import error: import path contains null byte"},
      {std::nullopt, "entry\\with back.quarl", "entry\\with back.quarl"},  // the key as written
      {std::nullopt, "./a/../b", "./a/../b"},
      {std::nullopt, segments(256), segments(256)},
      {std::nullopt, segments(257), "quarl::resource_limit: " + too_many + "\"" + segments(257) + "\""},
      {"x.quarl", segments(255) + "/key.quarl", segments(255).substr(2) + "/key.quarl"},
      {"x.quarl", segments(256) + "/key.quarl",
       "quarl::resource_limit: " + too_many + "\"" + segments(256) + "/key.quarl\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40));
    EXPECT_EQ(outcome([&] {
                return resolve_virtual(c.importer ? std::optional<std::string_view>(*c.importer)
                                                  : std::nullopt,
                                       c.path);
              }),
              c.result);
  }
}

TEST(SourcePath, ImportSyntax) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"./a.quarl", ""},
      {"../a.quarl", ""},
      {"lib", "import error: import path must be relative (start with './' or '../'): \"lib\""},
      {"/abs.quarl",
       "import error: import path must be relative (start with './' or '../'): \"/abs.quarl\""},
      {".hidden", "import error: import path must be relative (start with './' or '../'): \".hidden\""},
      {std::string("./a\0", 4), "import error: import path contains null byte"},
  };
  for (const auto& [path, message] : cases) {
    try {
      check_import_syntax(path);
      EXPECT_EQ(message, "") << path;
    } catch (const Error& e) {
      EXPECT_EQ(e.message(), message);
      EXPECT_FALSE(e.span());
    }
  }
}

TEST(SourcePath, DisplayForm) {
  const auto optional = [](const nlohmann::json& field) {
    return field.is_null() ? std::nullopt : std::optional<std::string>(field.get<std::string>());
  };
  for (const auto& row : testing_support::table_rows("display_paths"))
    EXPECT_EQ(display_path(row[0].get<std::string>(), optional(row[1]), optional(row[2])), row[3]) << row;
}

TEST(SourcePath, Within) {
  EXPECT_TRUE(is_within("/p/a/b", "/p"));
  EXPECT_TRUE(is_within("/p", "/p/"));
  EXPECT_FALSE(is_within("/pp/a", "/p"));
  EXPECT_FALSE(is_within("/", "/p"));
  EXPECT_TRUE(is_within("/anything", "/"));
}

}  // namespace
}  // namespace quarl
