// Linking modules: the three import forms, exports and re-exports, includes,
// inheritance chains, and the limits and errors of resolution.
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

const std::string kLib =
    "@define greet(name):\nHello {{ name }}\n@end\n@define shout(x):\n{{ upper(x) }}\n@end\n"
    "Lib body\n";

struct OutputCase {
  const char* name;
  ModuleMap modules;
  std::string output;
  std::vector<std::string> dependencies;
};

TEST(Linking, Outputs) {
  const std::vector<OutputCase> cases = {
      {"alias, qualified call, include",
       {{"main.quarl", "@import \"./lib.quarl\" as lib\n{{ lib.greet(\"Ada\") }}\n@include lib\n"},
        {"lib.quarl", kLib}},
       "Hello Ada\nLib body\n",
       {"lib.quarl"}},
      {"merge binds every function and the prompt",
       {{"main.quarl", "@import \"./lib.quarl\"\n{{ shout(\"a\") }} {{ prompt }}"},
        {"lib.quarl", kLib}},
       "A Lib body\n",
       {"lib.quarl"}},
      {"selective takes any function of a module without @export",
       {{"main.quarl", "@import { shout, prompt } from \"./lib.quarl\"\n{{ shout(prompt) }}"},
        {"lib.quarl", kLib}},
       "LIB BODY\n",
       {"lib.quarl"}},
      {"frontmatter imports in their three forms",
       {{"main.quarl",
         "---\nimports:\n  - path: ./lib.quarl\n    as: l\n  - path: ./lib.quarl\n    names: "
         "[greet]\n  - path: ./other.quarl\n---\n{{ l.shout(greet(\"x\")) }} {{ other() }}"},
        {"lib.quarl", kLib},
        {"other.quarl", "@define other():\nO\n@end\n"}},
       "HELLO X O\n",
       {"lib.quarl", "other.quarl"}},
      {"re-exports by name and by wildcard",
       {{"main.quarl",
         "@import { greet, shout, twice } from \"./api.quarl\"\n{{ twice(greet(\"b\")) }}"},
        {"api.quarl",
         "@export greet from \"./lib.quarl\"\n@export * from \"./more.quarl\"\n@export shout from "
         "\"./lib.quarl\"\n"},
        {"lib.quarl", kLib},
        {"more.quarl", "@define twice(x):\n{{ x }}{{ x }}\n@end\n"}},
       "Hello bHello b\n",
       {"lib.quarl", "more.quarl", "api.quarl"}},
      {"a diamond loads the shared module once, dependencies first",
       {{"main.quarl", "@import \"./b.quarl\"\n@import \"./c.quarl\"\n{{ fb() }}{{ fc() }}"},
        {"b.quarl", "@import \"./d.quarl\" as d\n@define fb():\nB{{ d.fd() }}\n@end\n"},
        {"c.quarl", "@import \"./d.quarl\" as d\n@define fc():\nC{{ d.fd() }}\n@end\n"},
        {"d.quarl", "@define fd():\nD\n@end\n"}},
       "BDCD\n",
       {"d.quarl", "b.quarl", "c.quarl"}},
      {"imported functions run in their own module",
       {{"main.quarl", "---\nv: main\n---\n@import \"./lib/m.quarl\" as m\n{{ m.show() }}"},
        {"lib/m.quarl",
         "---\nv: lib\n---\n@import { helper } from \"./h.quarl\"\n@define show():\n{{ v }} {{ "
         "helper() }}\n@end\n"},
        {"lib/h.quarl", "@define helper():\nh\n@end\n"}},
       "---\nv: main\n---\nlib h\n",
       {"lib/h.quarl", "lib/m.quarl"}},
      {"a module's own definition shadows an imported one",
       {{"main.quarl", "@import \"./lib.quarl\"\n@define shout(x):\nown {{ x }}\n@end\n{{ shout(1) }}"},
        {"lib.quarl", kLib}},
       "own 1\n",
       {"lib.quarl"}},
      {"@export prompt exports the body alone",
       {{"main.quarl", "@import \"./p.quarl\" as p\n@include p\n"},
        {"p.quarl", "@define hidden():\nx\n@end\n@export prompt\nOnly {{ upper(\"x\") }}\n"}},
       "Only X\n",
       {"p.quarl"}},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Linked linked = link(c.modules);
    EXPECT_EQ(linked.output, c.output);
    EXPECT_EQ(linked.dependencies, c.dependencies);
  }
}

struct ErrorCase {
  const char* name;
  ModuleMap modules;
  ErrorCode code;
  std::string message;
  bool spanned;
};

TEST(Linking, Errors) {
  const std::vector<ErrorCase> cases = {
      {"a cycle names each module by its last segment",
       {{"main.quarl", "@import \"./a/x.quarl\"\n"},
        {"a/x.quarl", "@import \"../b.quarl\"\n"},
        {"b.quarl", "@import \"./a/x.quarl\"\n"}},
       ErrorCode::CircularImport,
       "circular import detected: x.quarl \u2192 b.quarl \u2192 x.quarl",
       true},
      {"a self-import shows its name twice",
       {{"main.quarl", "@import \"./main.quarl\"\n"}},
       ErrorCode::CircularImport,
       "circular import detected: main.quarl \u2192 main.quarl",
       true},
      {"a missing module is placed at the directive",
       {{"main.quarl", "x\n@import \"./gone.quarl\" as g\n"}},
       ErrorCode::ModuleNotFound,
       "module 'gone.quarl' is not in the virtual module map",
       true},
      {"a name the module does not export",
       {{"main.quarl", "@import { secret } from \"./lib.quarl\"\n"},
        {"lib.quarl", "@define secret():\n@end\n@define open():\n@end\n@export open\n"}},
       ErrorCode::Import,
       "import error: 'secret' is not exported from './lib.quarl'",
       true},
      {"a prompt the module does not have",
       {{"main.quarl", "@import { prompt } from \"./lib.quarl\"\n"},
        {"lib.quarl", "@define f():\n@end\n"}},
       ErrorCode::Import,
       "import error: 'prompt' is not exported from './lib.quarl'",
       true},
      {"an alias bound twice",
       {{"main.quarl", "@import \"./a.quarl\" as m\n@import \"./b.quarl\" as m\n"},
        {"a.quarl", ""},
        {"b.quarl", ""}},
       ErrorCode::NameCollision,
       "name collision: 'm' is already defined",
       true},
      {"a function bound twice",
       {{"main.quarl", "@import \"./a.quarl\"\n@import { f } from \"./b.quarl\"\n"},
        {"a.quarl", "@define f():\n@end\n"},
        {"b.quarl", "@define f():\n@end\n"}},
       ErrorCode::NameCollision,
       "name collision: 'f' is already defined",
       true},
      {"exporting what the module does not define",
       {{"main.quarl", "@import \"./a.quarl\"\n"},
        {"a.quarl", "@import \"./b.quarl\"\n@export prompt\n@export f\n"},
        {"b.quarl", "@define f():\n@end\n"}},
       ErrorCode::Export,
       "export error: cannot export 'f': not defined in this module",
       true},
      {"re-exporting what the other module does not export",
       {{"main.quarl", "@import \"./a.quarl\"\n"},
        {"a.quarl", "@export g from \"./b.quarl\"\n"},
        {"b.quarl", "@define f():\n@end\n"}},
       ErrorCode::Export,
       "export error: cannot re-export 'g': not exported from \"./b.quarl\"",
       true},
      {"a qualified call of a function the module keeps to itself",
       {{"main.quarl", "@import \"./a.quarl\" as a\n{{ a.inner() }}"},
        {"a.quarl", "@define inner():\n@end\n@define outer():\n@end\n@export outer\n"}},
       ErrorCode::UndefinedFn,
       "undefined function 'a.inner'",
       true},
      {"an imported module is checked like the entry",
       {{"main.quarl", "@import \"./a.quarl\" as a\n"},
        {"a.quarl", "@define f():\n{{ nothing }}\n@end\n"}},
       ErrorCode::UndefinedVar,
       "undefined variable 'nothing'",
       true},
      {"@import inside another directive",
       {{"main.quarl", "---\nx: 1\n---\n@if x:\n@import \"./a.quarl\"\n@end\n"}, {"a.quarl", ""}},
       ErrorCode::Import,
       "import error: @import must be at the top level of a module, not inside another directive",
       true},
      {"a path that leaves the module map",
       {{"main.quarl", "@import \"../up.quarl\"\n"}},
       ErrorCode::Import,
       "import error: import path escapes project directory: \"../up.quarl\"",
       false},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Error error = link_error(c.modules);
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(error.message(), c.message);
    EXPECT_EQ(error.span().has_value(), c.spanned);
  }
}

TEST(Linking, FrontmatterEntriesNameTheirIndex) {
  const auto entry_error = [](const std::string& entries, ModuleMap modules) {
    modules.emplace("main.quarl", "---\nimports:\n" + entries + "---\nx");
    const Error error = link_error(modules);
    EXPECT_EQ(error.code(), ErrorCode::Import);
    EXPECT_FALSE(error.span());
    return error.message();
  };
  EXPECT_EQ(entry_error("  - path: ./a.quarl\n  - path: ./gone.quarl\n", {{"a.quarl", ""}}),
            "import error: module not found: \"gone.quarl\" (in frontmatter imports[1])");
  EXPECT_EQ(entry_error("  - path: ./a.quarl\n", {{"a.quarl", "---\nimports: [{path: ./a.quarl}]\n---\n"}}),
            "import error: circular import detected: a.quarl \u2192 a.quarl (in frontmatter "
            "imports[0])");
  EXPECT_EQ(entry_error("  - path: ./a.quarl\n    names: [nope]\n", {{"a.quarl", ""}}),
            "import error: 'nope' is not exported from './a.quarl' (in frontmatter imports[0])");
  // A nested entry's error already names its entry; the outer one adds nothing.
  EXPECT_EQ(entry_error("  - path: ./a.quarl\n",
                        {{"a.quarl", "---\nimports: [{path: ./x.quarl}, {path: ./gone.quarl}]\n---\n"},
                         {"x.quarl", ""}}),
            "import error: module not found: \"gone.quarl\" (in frontmatter imports[1])");
  // Errors with a place of their own pass through.
  const Error syntax = link_error({{"main.quarl", "---\nimports: [{path: ./a.quarl}]\n---\n"},
                                   {"a.quarl", "@if\n"}});
  EXPECT_EQ(syntax.code(), ErrorCode::Syntax);
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

TEST(Linking, Includes) {
  const Linked linked = link({
      {"main.quarl",
       "@import \"./functions.quarl\" as fns\n@import \"./summary.quarl\" as sum\n"
       "@import \"./blank.quarl\" as blank\n[@include fns]\n@include fns\n@include sum\n"
       "@include blank\n"},
      {"functions.quarl", "@define f():\nx\n@end\n"},
      {"summary.quarl", "Some text\n@define s():\n@end\n@export s\n"},
      {"blank.quarl", "  \n\n"},
  });
  EXPECT_EQ(linked.output, "[@include fns]\n");
  EXPECT_EQ(linked.warnings,
            (Warnings{
                "warning: @include of 'fns' produced empty output \u2014 module has no body text; "
                "to use the module's functions, call them directly: {{fns.fn()}}",
                "warning: @include of 'sum' produced empty output \u2014 module has body text, "
                "but its explicit @export list does not export 'prompt'; add `@export prompt` to "
                "the module, or call its functions directly: {{sum.fn()}}",
                "warning: @include of 'blank' produced empty output \u2014 module has no body "
                "text; to use the module's functions, call them directly: {{blank.fn()}}"}));
}

const std::string kBase =
    "---\ntitle: Base\nstyle:\n  tone: calm\n  length: short\n---\n# {{ title }}\n"
    "@block intro:\nBase intro\n@end\n@block body:\nBase body\n@end\nTone {{ style.tone }}\n";

TEST(Inheritance, Chains) {
  EXPECT_EQ(link({{"main.quarl", "@extends \"./base.quarl\"\n\n@block body:\nChild body\n@end\n"},
                  {"base.quarl", kBase}})
                .output,
            "---\ntitle: Base\nstyle:\n  tone: calm\n  length: short\n---\n# Base\nBase intro\n"
            "Child body\nTone calm\n");
  // The entry's override wins over the middle one's; frontmatter merges down
  // the chain, nested mappings key by key; the entry's imports serve its blocks.
  const Linked three = link({
      {"main.quarl",
       "---\ntitle: Entry\nstyle:\n  tone: warm\nimports:\n  - path: ./fmt.quarl\n---\n"
       "@extends \"./mid.quarl\"\n@block body:\n{{ bold(title) }}\n@end\n"},
      {"mid.quarl",
       "---\nextra: 1\n---\n@extends \"./base.quarl\"\n@block body:\nMid body\n@end\n"
       "@block intro:\nMid intro {{ extra }}\n@end\n"},
      {"base.quarl", kBase},
      {"fmt.quarl", "@define bold(x):\n**{{ x }}**\n@end\n"},
  });
  EXPECT_EQ(three.output,
            "---\ntitle: Entry\nstyle:\n  tone: warm\n  length: short\nextra: 1\n---\n# Entry\n"
            "Mid intro 1\n**Entry**\nTone warm\n");
  EXPECT_EQ(three.dependencies, (std::vector<std::string>{"fmt.quarl", "base.quarl", "mid.quarl"}));
  // Imported templates of a chain render with their own chain's frontmatter,
  // also one loaded first as the template another extends.
  EXPECT_EQ(
      link({{"main.quarl", "@import \"./page.quarl\" as p\n@import \"./mid.quarl\" as m\n"
                           "@include p\n@include m\n"},
            {"page.quarl", "---\nname: Page\nshared: {c: 3}\n---\n@extends \"./mid.quarl\"\n"
                           "@block b:\n{{ name }} {{ shared.a }}{{ shared.b }}{{ shared.c }}\n@end\n"},
            {"mid.quarl", "---\nname: Mid\nshared: {b: 2}\n---\n@extends \"./base.quarl\"\n"},
            {"base.quarl", "---\nname: Base\nshared: {a: 1}\n---\nTop {{ name }}\n"
                           "@block b:\n{{ name }} {{ shared.a }}{{ shared.b }}\n@end\n"}})
          .output,
      "Top Page\nPage 123\nTop Mid\nMid 12\n");
  // The caller's variables lie over the merged frontmatter.
  CompileOptions options;
  options.vars = {{"title", Value::string("Caller")}};
  EXPECT_EQ(link({{"main.quarl", "@extends \"./base.quarl\"\n"}, {"base.quarl", "{{ title }}"}},
                 options)
                .output,
            "Caller\n");
}

// The mode follows what renders: a child that only empties a block of a
// chat skeleton still renders messages.
TEST(Inheritance, AChatSkeletonRendersMessages) {
  const std::string chat =
      "@message system:\nBe brief.\n@end\n@block examples:\n@message user:\nHi\n@end\n@end\n";
  EXPECT_EQ(link({{"main.quarl", "@extends \"./chat.quarl\"\n@block examples:\n@end\n"},
                  {"chat.quarl", chat}})
                .output,
            "system: Be brief.\n");
  EXPECT_EQ(link({{"main.quarl",
                   "@extends \"./chat.quarl\"\n@block examples:\n@message user:\nQ\n@end\n"
                   "@message assistant:\nA\n@end\n@end\n"},
                  {"chat.quarl", chat}})
                .output,
            "system: Be brief.\nuser: Q\nassistant: A\n");
}

TEST(Inheritance, Errors) {
  const auto error = [](const std::string& child, const std::string& base) {
    return link_error({{"main.quarl", child}, {"base.quarl", base}});
  };
  const Error stray = error("@extends \"./base.quarl\"\n\n  stray text\n", "x");
  EXPECT_EQ(stray.message(), "extends error: an extending template may contain only @block overrides");
  EXPECT_EQ(stray.span(), (Span{25, 12}));
  const Error directive = error("@extends \"./base.quarl\"\n{{ x }}\n", "x");
  EXPECT_EQ(directive.span(), (Span{24, 7}));
  const Error undeclared = error("@extends \"./base.quarl\"\n@block other:\n@end\n",
                                 "@block body:\n@end\n");
  EXPECT_EQ(undeclared.message(),
            "extends error: only the root template may declare @block placeholders");
  EXPECT_EQ(undeclared.span(), (Span{24, 13}));
  EXPECT_EQ(error("@extends \"./base.quarl\"\n", "@extends \"./main.quarl\"\n").message(),
            "circular import detected: main.quarl \u2192 base.quarl \u2192 main.quarl");
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
