#include "syntax/yaml.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "inputs.hpp"
#include "quarl/error.hpp"
#include "quarl/value.hpp"
#include "tables.hpp"

namespace quarl {
namespace {

using Kind = YamlNode::Kind;

// A compact description of a scalar (or tagged scalar) node.
std::string describe(const YamlNode& node) {
  switch (node.kind) {
    case Kind::Null:
      return "null";
    case Kind::Boolean:
      return node.boolean ? "bool:true" : "bool:false";
    case Kind::Number:
      return "num:" + to_text(Value::number(node.number));
    case Kind::String:
      return "str:" + node.text;
    case Kind::Tagged:
      return "tag:" + node.text + "(" + describe(*node.items.front()) + ")";
    case Kind::Sequence:
      return "seq";
    case Kind::Mapping:
      return "map";
  }
  return "?";
}

// The value of `v` in the one-entry document "v: <scalar>".
std::string resolve(const std::string& scalar) {
  const YamlPtr root = load_yaml("v: " + scalar + "\n");
  return describe(*root->entries.at(0).second);
}

TEST(Yaml, ScalarResolution) {
  for (const auto& row : testing_support::table_rows("yaml_scalars")) {
    SCOPED_TRACE(row[0].get<std::string>());
    try {
      EXPECT_EQ(resolve(row[0]), row[1].get<std::string>());
    } catch (const Error& e) {
      ADD_FAILURE() << e.message();
    }
  }
}

struct ErrorCase {
  std::string text;
  ErrorCode code;
  std::string message;
};

// Frontmatter YAML errors as a template meets them are cases in
// tests/cases/yaml_errors.txt; these two cannot be written in a template (the
// text is not UTF-8; the second document starts after the frontmatter ends).
TEST(Yaml, Errors) {
  const std::vector<ErrorCase> cases = {
      {"a: \"\xff\"", ErrorCode::Yaml, "invalid leading UTF-8 octet at line 1, column 5"},
      {"a: 1\n---\nb: 2\n", ErrorCode::Yaml,
       "expected a single document in the stream, but found another document at line 2, "
       "column 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      load_yaml(c.text);
      ADD_FAILURE() << "loaded";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), c.code);
      EXPECT_EQ(e.message(), "YAML parse error: " + c.message);
      EXPECT_FALSE(e.span());
    }
  }
}

TEST(Yaml, PositionsCountFromTheFirstLine) {
  try {
    load_yaml("a: 1\na: 2\n", 2);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), "YAML parse error: found duplicate key \"a\" in a mapping at line 3, column 1");
  }
}

// Inputs far past a limit stop at it quickly, without expanding or recursing.
// (The limits at their edge are in limits_test.cpp.)
TEST(Yaml, FarPastALimitFailsFast) {
  std::string bomb = "a: &a [\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\"]\n";
  for (char level = 'b'; level <= 'i'; ++level) {
    const char previous = static_cast<char>(level - 1);
    bomb += std::string(1, level) + ": &" + level + " [";
    for (int i = 0; i < 9; ++i) bomb += std::string(i ? "," : "") + "*" + previous;
    bomb += "]\n";
  }
  const std::vector<std::pair<std::string, std::string>> cases = {
      {bomb, "frontmatter YAML node count exceeds maximum of 200000 (anchors expanded by aliases "
             "count once per expansion)"},
      {testing_support::repeat("- ", 400000) + "x",
       "frontmatter YAML nesting exceeds maximum depth of 2048"},
  };
  for (const auto& [text, message] : cases) {
    const auto start = std::chrono::steady_clock::now();
    try {
      load_yaml(text);
      ADD_FAILURE() << "loaded";
    } catch (const Error& e) {
      EXPECT_EQ(e.message(), "resource limit exceeded: " + message);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  }
}

TEST(Yaml, AliasesShareTheirAnchoredNode) {
  const YamlPtr root = load_yaml("base: &b {x: 1}\n<<: *b\nother: *b\n");
  ASSERT_EQ(root->entries.size(), 3U);
  EXPECT_EQ(root->entries[1].first->text, "<<");  // an ordinary key
  EXPECT_EQ(root->entries[1].second, root->entries[0].second);
  EXPECT_EQ(root->entries[2].second, root->entries[0].second);
}

TEST(Yaml, EmptyDocumentIsNull) {
  EXPECT_EQ(load_yaml(""), nullptr);
  EXPECT_EQ(load_yaml("# only a comment\n"), nullptr);
  EXPECT_EQ(load_yaml("~")->kind, Kind::Null);
}

TEST(Yaml, EmitWritesReadableBlockYaml) {
  const YamlPtr root = load_yaml(
      "title: Hello world\ncount: 0x1F\nflag: 'true'\nempty: ''\nlist: [a, 1]\nnone: {}\n"
      "nested: {k: v}\ntagged: !custom 5\nquoted: \"a: b\"\n");
  EXPECT_EQ(emit_yaml(*root),
            "title: Hello world\ncount: 0x1F\nflag: \"true\"\nempty: \"\"\nlist:\n- a\n- 1\n"
            "none: {}\nnested:\n  k: v\ntagged: !custom 5\nquoted: 'a: b'\n");
}

TEST(Yaml, EmitThenLoadGivesAnEqualDocument) {
  const std::vector<std::string> documents = {
      "a: 1\n",
      "s: [\"true\", \"5\", \"\", \"null\", \"~\", \" lead\", \"trail \", \"multi\\nline\", "
      "\"\u00e9t\u00e9\", \"#x\", \"- x\", \"'q'\", \"0x10\", \".inf\", \"a\\tb\", \"x\\u0001\"]\n",
      "n: [0x1F, 0o7, -0b1, 1.50, .inf, -.inf, .nan, 1e3, 99999999999999999999]\n",
      "b: [true, False, ~, null, '']\n",
      "m: {a: {b: {c: [1, {d: e}]}}, empty_seq: [], empty_map: {}}\n",
      "t: [!custom 5, !!str x, !tag [1, 2], !tag {a: b}, !!int '7', !!float 1]\n",
      "? [1, 2]\n: complex key\n? {a: b}\n: other\n<<: merge key\n",
      "text: |\n  line one\n  line two\nfolded: >\n  a\n  b\n",
  };
  for (const auto& document : documents) {
    SCOPED_TRACE(document);
    const YamlPtr original = load_yaml(document);
    const std::string text = emit_yaml(*original);
    SCOPED_TRACE(text);
    const YamlPtr reloaded = load_yaml(text);
    ASSERT_TRUE(reloaded);
    EXPECT_TRUE(*reloaded == *original);
  }
}

}  // namespace
}  // namespace quarl
