// Linking modules: filesystem keys and the project root (the import forms,
// exports, includes, inheritance and their errors are cases in
// tests/cases/linking.txt; the limits are in limits_test.cpp).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "inputs.hpp"
#include "outcomes.hpp"
#include "printers.hpp"
#include "quarl/compile.hpp"

namespace quarl {
namespace {

namespace fs = std::filesystem;
using testing_support::import_chain;

TEST(Linking, FilesystemKeysAndRoot) {
  std::string pattern = (fs::temp_directory_path() / "quarl-link-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::string top = fs::canonical(pattern).string();
  const std::string root = top + "/project";
  std::ofstream(top + "/outside.quarl") << "outside";
  const auto write = [&](const std::string& name, const std::string& text) {
    fs::create_directories(fs::path(root + "/" + name).parent_path());
    std::ofstream(root + "/" + name, std::ios::binary) << text;
  };
  write(".quarlroot", "");
  write("app/main.quarl", "@import \"../lib/util.quarl\" as u\n{{ u.f() }}");
  write("lib/util.quarl", "@define f():\nutil\n@end\n");
  write("app/escape.quarl", "@import \"../../outside.quarl\"\n");
  const Outcome<CompileResult> result = compile_file(root + "/app/main.quarl", {});
  ASSERT_TRUE(result);
  EXPECT_EQ(std::get<std::string>(result->output), "util\n");
  EXPECT_EQ(result->dependencies, std::vector<std::string>{root + "/lib/util.quarl"});
  const Outcome<CompileResult> escaped = compile_file(root + "/app/escape.quarl", {});
  ASSERT_FALSE(escaped);
  EXPECT_EQ(std::get<Error>(escaped.error()).message(),
            "import error: import path escapes project directory: \"../../outside.quarl\"");

  // A string entry resolves against its base directory, inside the root.
  CompileOptions options;
  options.base_path = root + "/app";
  EXPECT_EQ(std::get<std::string>(
                compile_source("@import { f } from \"../lib/util.quarl\"\n{{ f() }}", options)
                    ->output),
            "util\n");
  const Outcome<CompileResult> missing = compile_source("@import \"./none.quarl\"\n", options);
  ASSERT_FALSE(missing);
  EXPECT_EQ(std::get<Error>(missing.error()).message(), "file not found: ./none.quarl");
  EXPECT_TRUE(std::get<Error>(missing.error()).span());
  fs::remove_all(top);
}

TEST(Linking, AFailedLoadLeavesNothingBehind) {
  ModuleMap modules = import_chain(10);
  modules["m5.quarl"] = "@import \"./m6.quarl\"\n{{ missing }}";
  EXPECT_EQ(error_of(compile_virtual(modules, "main.quarl", {})).message(),
            "undefined variable 'missing'");
  EXPECT_EQ(compile_virtual(import_chain(10), "main.quarl", {})->dependencies.size(), 10U);
}

}  // namespace
}  // namespace quarl
