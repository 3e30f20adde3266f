#include "source_path.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "outcomes.hpp"
#include "quarl/error.hpp"

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

struct DisplayCase {
  std::string path;
  std::optional<std::string> base;
  std::optional<std::string> root;
  std::string shown;
};

TEST(SourcePath, DisplayForm) {
  const std::vector<DisplayCase> cases = {
      {"<source>", std::nullopt, std::nullopt, "<source>"},
      {"<source>", std::nullopt, "/p", "<source>"},
      {"a\\b\\c.quarl", std::nullopt, std::nullopt, "a/b/c.quarl"},
      {"\\\\?\\C:\\proj\\a.quarl", std::nullopt, std::nullopt, "C:/proj/a.quarl"},
      {"\\\\?\\UNC\\server\\share\\a.quarl", std::nullopt, std::nullopt, "server/share/a.quarl"},
      {"", std::nullopt, std::nullopt, "source"},
      {"./.", std::nullopt, std::nullopt, "source"},
      {"./a/./b/../c.quarl", std::nullopt, std::nullopt, "a/c.quarl"},
      {"../../x/../y", std::nullopt, std::nullopt, "../../y"},
      {"/p/src/../a.quarl", std::nullopt, std::nullopt, "/p/a.quarl"},
      {"/p/src/a.quarl", std::nullopt, "/p", "src/a.quarl"},
      {"/p/src/a.quarl", "/p/lib", "/p", "../src/a.quarl"},
      {"/p/src/a.quarl", "/elsewhere", "/p", "src/a.quarl"},  // a base outside the root
      {"/p", std::nullopt, "/p", "."},
      {"/other/a.quarl", std::nullopt, "/p", "/other/a.quarl"},
      {"/pp/a.quarl", std::nullopt, "/p", "/pp/a.quarl"},  // components, not characters
      {"C:/proj/a.quarl", std::nullopt, "C:/proj", "a.quarl"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(display_path(c.path, c.base, c.root), c.shown);
  }
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
