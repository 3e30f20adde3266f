#include "quarl/compile.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "outcomes.hpp"
#include "printers.hpp"

namespace quarl {
namespace {

namespace fs = std::filesystem;

std::string markdown(const Outcome<CompileResult>& result) {
  if (!result) {
    const auto* error = std::get_if<Error>(&result.error());
    ADD_FAILURE() << (error ? error->message() : std::get<InternalFault>(result.error()).detail);
    return {};
  }
  return std::get<std::string>(result->output);
}

CompileOptions with_vars(Value::Object vars) {
  CompileOptions options;
  options.vars = std::move(vars);
  return options;
}

// Whole compiles from strings and module maps are cases in tests/cases/.

// check keeps no text, yet fails where the compile's output outgrows its limit.
TEST(Compile, CheckMeasuresWhatItDoesNotKeep) {
  const CompileOptions options = with_vars({{"x", Value::string(std::string(30'000'000, 'x'))}});
  for (const char* source : {"{{ x }}{{ x }}", "@define f():\n{{ x }}\n@end\n{{ f() }}{{ f() }}"}) {
    EXPECT_EQ(error_of(check_source(source, options)).message(),
              "resource limit exceeded: output exceeds maximum size of 52428800 bytes");
    EXPECT_TRUE(check_source(std::string(source).substr(0, std::string(source).rfind("{{")), options));
  }
}

TEST(Compile, BasePath) {
  CompileOptions options;
  options.base_path = "/no/such/base";
  EXPECT_EQ(error_of(compile_source("x", options)).message(),
            "cannot resolve base directory /no/such/base: No such file or directory");
  options.base_path = "";
  EXPECT_EQ(markdown(compile_source("x", options)), "x\n");  // empty: the current directory
}

TEST(Compile, MessagesMode) {
  CompileOptions options;
  options.source_map = true;
  const Outcome<CompileResult> result =
      compile_source("---\ntitle: x\n---\n@message system:\nHi\n@end\n", options);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->kind(), OutputKind::Messages);
  EXPECT_EQ(std::get<std::vector<Message>>(result->output),
            (std::vector<Message>{{"system", "Hi"}}));
  EXPECT_EQ(result->warnings,
            Warnings{"source maps are not supported for messages-mode templates (@message "
                     "blocks); no source map will be generated"});
  EXPECT_FALSE(result->source_map);
  // check never asks for a map.
  EXPECT_TRUE(check_source("@message s:\nx\n@end", options)->warnings.empty());
}

class CompileFiles : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quarl-compile-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = fs::canonical(pattern).string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    return dir_ + "/" + name;
  }
  std::string dir_;
};

TEST_F(CompileFiles, EntryFiles) {
  const std::string quarl = write("t.quarl", "Hi {{ who }}");
  EXPECT_EQ(markdown(compile_file(quarl, with_vars({{"who", Value::string("there")}}))),
            "Hi there\n");
  const std::string marked = write("doc.md", "---\ntype: quarl\nx: 1\n---\n{{ x }}");
  EXPECT_EQ(markdown(compile_file(marked, {})), "---\nx: 1\n---\n1\n");
  const std::string unmarked = write("plain.md", "# Title\n");
  EXPECT_EQ(error_of(compile_file(unmarked, {})).message(), "not an QUARL file: " + unmarked);
  EXPECT_EQ(error_of(compile_file(dir_ + "/missing.quarl", {})).message(),
            "file not found: " + dir_ + "/missing.quarl");
  EXPECT_EQ(error_of(check_file(write("bad.quarl", "{{ nope }}"), {})).message(),
            "undefined variable 'nope'");
}

TEST(Compile, TextsMustBeUtf8) {
  EXPECT_EQ(error_of(compile_source("ok \xf0", {})).message(),
            "invalid UTF-8 in <source>: invalid byte sequence at offset 3");
  EXPECT_EQ(error_of(check_virtual({{"main.quarl", "@import \"./lib.quarl\""}, {"lib.quarl", "\xc3("}},
                                   "main.quarl", {}))
                .message(),
            "invalid UTF-8 in lib.quarl: invalid byte sequence at offset 0");
}

TEST(ScanImports, PathsInOrderOnce) {
  const auto scan = [](const std::string& source) { return *scan_imports(source); };
  EXPECT_EQ(scan("---\nimports:\n  - path: ./a.quarl\n---\n@extends \"./base.quarl\"\n"
                 "@block b:\n@end\n"),
            (std::vector<std::string>{"./base.quarl", "./a.quarl"}));
  EXPECT_EQ(scan("---\nimports: [{path: ./a.quarl}]\n---\n@import \"./a.quarl\" as a\n"
                 "@export * from \"./b.quarl\"\n@export f from \"./c.quarl\"\n@export g\n"
                 "@if x:\n@import \"./nested.quarl\"\n@end\n"),
            (std::vector<std::string>{"./a.quarl", "./b.quarl", "./c.quarl"}));
  // A frontmatter whose imports do not parse adds nothing and raises nothing.
  EXPECT_EQ(scan("---\nimports: ./x.quarl\n---\n@import { f } from \"./y.quarl\"\n"),
            (std::vector<std::string>{"./y.quarl"}));
  EXPECT_EQ(scan("---\n[: bad yaml\n---\n"), std::vector<std::string>{});
  EXPECT_EQ(error_of(scan_imports("{{ open")).code(), ErrorCode::Syntax);
}

TEST(Canonical, MarkdownResultText) {
  CompileResult result;
  result.output = std::string("line\n\x01 caf\u00e9 a/b \"q\" \\ \t\r\b\f\x7f");
  EXPECT_EQ(canonical_text(to_canonical_json(result)),
            "{\"dependencies\":[],\"kind\":\"markdown\",\"output\":\"line\\n\\u0001 caf\u00e9 a/b "
            "\\\"q\\\" \\\\ \\t\\r\\b\\f\x7f\",\"warnings\":[]}");
  result.output = std::string();
  EXPECT_EQ(canonical_text(to_canonical_json(result)),
            "{\"dependencies\":[],\"kind\":\"markdown\",\"output\":\"\",\"warnings\":[]}");
}

TEST(Canonical, MessagesAndSourceMapShapes) {
  CompileResult result;
  result.output = std::vector<Message>{{"user", "hi\x1f"}};
  result.warnings = {"w"};
  result.dependencies = {"z.quarl", "a.quarl"};
  EXPECT_EQ(canonical_text(to_canonical_json(result)),
            "{\"dependencies\":[\"z.quarl\",\"a.quarl\"],\"kind\":\"messages\",\"messages\":[{"
            "\"content\":\"hi\\u001f\",\"role\":\"user\"}],\"warnings\":[\"w\"]}");
  CompileResult mapped;
  mapped.output = std::string("x");
  mapped.source_map = SourceMap{"out.md", {"input.quarl"}, std::vector<std::string>{"x"}, "AAAA"};
  EXPECT_EQ(canonical_text(to_canonical_json(mapped)),
            "{\"dependencies\":[],\"kind\":\"markdown\",\"output\":\"x\",\"sourceMap\":{\"file\":"
            "\"out.md\",\"mappings\":\"AAAA\",\"names\":[],\"sources\":[\"input.quarl\"],"
            "\"sourcesContent\":[\"x\"],\"version\":3},\"warnings\":[]}");
  mapped.source_map = SourceMap{std::nullopt, {"input.quarl"}, std::nullopt, ""};
  const Value canonical = to_canonical_json(mapped);
  EXPECT_EQ(canonical_text(canonical.as_object().find("sourceMap")->second),
            "{\"mappings\":\"\",\"names\":[],\"sources\":[\"input.quarl\"],\"version\":3}");
}

TEST(Canonical, EscapesAnywhereInLongStrings) {
  // Blocks of plain bytes are copied whole, a block with escapes up to each
  // in turn, and the last bytes one by one: every run of escapes, anywhere,
  // at any density, must come out as escaping byte by byte writes it.
  const auto escaped = [](std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
      if (c == '"' || c == '\\') out += {'\\', c};
      else if (c == '\n') out += "\\n";
      else if (c == '\x1f') out += "\\u001f";
      else out += c;
    }
    return out + "\"";
  };
  constexpr std::string_view kSpecials = "\"\\\x1f\n";
  for (std::size_t length = 0; length < 100; ++length)
    for (std::size_t every = 1; every <= 17; every += 4)  // an escape every so many bytes
      for (std::size_t first = 0; first < every; ++first) {
        std::string text(length, 'a');
        for (std::size_t at = first; at < length; at += every) text[at] = kSpecials[at % kSpecials.size()];
        EXPECT_EQ(canonical_text(Value::string(text)), escaped(text)) << length << " " << every << " " << first;
      }
  // Text is written into room for itself and an eighth more: escapes past
  // that, after other text, make more room as often as they need.
  EXPECT_EQ(canonical_text(Value::array({Value::string("ab"), Value::string(std::string(5000, '\x01'))})),
            "[\"ab\",\"" + [] { std::string s; for (int i = 0; i < 5000; ++i) s += "\\u0001"; return s; }() + "\"]");
  EXPECT_THROW(canonical_text(Value::string("bad \xff")), std::invalid_argument);
  EXPECT_THROW(canonical_text(Value::number(HUGE_VAL)), std::invalid_argument);
  EXPECT_EQ(canonical_text(Value::array({Value::number(3), Value::number(0.5), Value::null(),
                                         Value::boolean(true)})),
            "[3,0.5,null,true]");
}

TEST(Canonical, KeysSortByBytes) {
  Value::Object object;
  for (const char* key : {"b", "\u00e9", "B", "a", "ab", "_"}) object.emplace(key, Value::number(1));
  EXPECT_EQ(canonical_text(Value::object(object)),
            "{\"B\":1,\"_\":1,\"a\":1,\"ab\":1,\"b\":1,\"\u00e9\":1}");
}

}  // namespace
}  // namespace quarl
