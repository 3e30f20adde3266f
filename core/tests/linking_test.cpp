// Linking modules: filesystem keys and the project root, and the limits of
// resolution (the import forms, exports, includes, inheritance and their
// errors are cases in tests/cases/linking.txt).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "outcomes.hpp"
#include "printers.hpp"
#include "quarl/compile.hpp"

namespace quarl {
namespace {

namespace fs = std::filesystem;

struct Linked {
  std::string output;  // Markdown, or "role: content" lines of messages
  Warnings warnings;
  std::vector<std::string> dependencies;
};

Linked link(const ModuleMap& modules, const CompileOptions& options = {}) {
  const Outcome<CompileResult> result = compile_virtual(modules, "main.quarl", options);
  if (!result) {
    const auto* error = std::get_if<Error>(&result.error());
    ADD_FAILURE() << (error ? error->message() : std::get<InternalFault>(result.error()).detail);
    return {};
  }
  Linked linked{{}, result->warnings, result->dependencies};
  if (const auto* text = std::get_if<std::string>(&result->output)) {
    linked.output = *text;
  } else {
    for (const Message& message : std::get<std::vector<Message>>(result->output))
      linked.output += message.role + ": " + message.content + "\n";
  }
  return linked;
}

Error link_error(const ModuleMap& modules) {
  return error_of(compile_virtual(modules, "main.quarl", {}));
}

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

// A chain of `length` modules below the entry, each importing the next.
ModuleMap import_chain(std::size_t length) {
  ModuleMap modules{{"main.quarl", "@import \"./m1.quarl\"\n{{ prompt }}"}};
  for (std::size_t i = 1; i <= length; ++i) {
    const std::string next =
        i < length ? "@import \"./m" + std::to_string(i + 1) + ".quarl\"\n" : std::string();
    modules.emplace("m" + std::to_string(i) + ".quarl", next + "{{ prompt }}" + std::to_string(i));
  }
  modules["m" + std::to_string(length) + ".quarl"] = "end";
  return modules;
}

TEST(Linking, DepthLimit) {
  // The entry and 63 modules below it fill the resolving stack.
  const Linked deepest = link(import_chain(63));
  EXPECT_EQ(deepest.dependencies.size(), 63U);
  EXPECT_TRUE(deepest.output.starts_with("end")) << deepest.output.substr(0, 40);
  const Error error = link_error(import_chain(64));
  EXPECT_EQ(error.message(), "import error: import depth exceeds maximum of 64 (possible deep chain)");
}

TEST(Linking, ModuleCountLimit) {
  const auto star = [](std::size_t count) {
    ModuleMap modules;
    std::string main;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string name = "m" + std::to_string(i) + ".quarl";
      main += "@import \"./" + name + "\" as a" + std::to_string(i) + "\n";
      modules.emplace(name, "");
    }
    modules.emplace("main.quarl", main);
    return modules;
  };
  EXPECT_EQ(link(star(256)).dependencies.size(), 256U);
  const Error error = link_error(star(257));
  EXPECT_EQ(error.code(), ErrorCode::ResourceLimit);
  EXPECT_EQ(error.message(),
            "resource limit exceeded: module count exceeds maximum of 256 (256 modules resolved)");
}

TEST(Linking, AFailedLoadLeavesNothingBehind) {
  ModuleMap modules = import_chain(10);
  modules["m5.quarl"] = "@import \"./m6.quarl\"\n{{ missing }}";
  EXPECT_EQ(link_error(modules).message(), "undefined variable 'missing'");
  EXPECT_EQ(link(import_chain(10)).dependencies.size(), 10U);
}

TEST(Inheritance, BlockCountLimit) {
  const auto blocks = [](std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "@block b" + std::to_string(i) + ":\n@end\n";
    return text;
  };
  EXPECT_EQ(link({{"main.quarl", blocks(256)}}).output, "");
  EXPECT_EQ(link_error({{"main.quarl", blocks(257)}}).message(),
            "resource limit exceeded: module has more than 256 @block declarations");
}

}  // namespace
}  // namespace quarl
