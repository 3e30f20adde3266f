#include "syntax/frontmatter.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "quarl/error.hpp"

namespace quarl {
namespace {

// "name=text; ..." of the variables, in order.
std::string show_variables(const Variables& variables) {
  std::string out;
  for (const auto& [name, value] : variables)
    out += (out.empty() ? "" : "; ") + name + "=" + to_text(value);
  return out;
}

Frontmatter load(const std::string& text, bool marker_required = false,
                 const Value::Object& caller = {}) {
  return load_frontmatter(text, marker_required, Value::object(caller).as_object());
}

// The type marker line: cases in tests/cases/module_kind.txt.

TEST(Frontmatter, VariablesInDocumentOrder) {
  const Frontmatter fm = load("title: Hi\ncount: 2\n1: ignored\nlist: [a, b]\nextends: x\n");
  EXPECT_EQ(show_variables(fm.variables), "title=Hi; count=2; list=a, b; extends=x");
  EXPECT_TRUE(fm.is_template);
  EXPECT_TRUE(fm.imports.empty());
}

TEST(Frontmatter, NoMappingMeansNoVariables) {
  for (const char* text : {"", "# comment\n", "just a scalar", "[1, 2]"}) {
    const Frontmatter fm = load(text);
    EXPECT_TRUE(fm.variables.empty()) << text;
    EXPECT_TRUE(fm.imports.empty()) << text;
  }
  EXPECT_TRUE(load_frontmatter(std::nullopt, false, {}).variables.empty());
}

TEST(Frontmatter, MarkerRequired) {
  // Without the marker the module is no template: `imports` is a variable.
  const Frontmatter plain = load("type: doc\nimports: [x]\n", true);
  EXPECT_FALSE(plain.is_template);
  EXPECT_EQ(show_variables(plain.variables), "imports=x");
  EXPECT_FALSE(load_frontmatter(std::nullopt, true, {}).is_template);
  // With it, `type` is no variable and `imports` is the import list.
  const Frontmatter marked = load("type: quarl\nimports: [{path: ./a.quarl}]\nx: 1\n", true);
  EXPECT_TRUE(marked.is_template);
  EXPECT_EQ(show_variables(marked.variables), "x=1");
  ASSERT_EQ(marked.imports.size(), 1U);
  // Without a marker requirement `type` is an ordinary variable.
  EXPECT_EQ(show_variables(load("type: quarl\n").variables), "type=quarl");
}

TEST(Frontmatter, CallerVariablesLayOver) {
  const Value::Object caller = {{"title", Value::string("Caller")}, {"extra", Value::number(1)}};
  const Frontmatter fm = load("title: Mine\nkeep: k\n", false, caller);
  EXPECT_EQ(show_variables(fm.variables), "title=Caller; keep=k; extra=1");

  const Value::Object reserved = {{"imports", Value::array({})}};
  try {
    load("a: 1\n", false, reserved);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), ErrorCode::Import);
    EXPECT_EQ(e.message(),
              "import error: 'imports' is a reserved frontmatter key for QUARL files and cannot "
              "be set via --set");
  }
  EXPECT_EQ(show_variables(load("a: 1\n", true, reserved).variables), "a=1; imports=");
}

// Keys that are not strings are refused: cases in tests/cases/frontmatter_errors.txt.
TEST(Frontmatter, ValueConversion) {
  EXPECT_EQ(show_variables(load("a: {\"1\": one, x: !custom 5}").variables), "a=1: one, x: 5");
}

TEST(Frontmatter, ImportList) {
  const Frontmatter fm = load(
      "imports:\n"
      "  - path: ./a.quarl\n"
      "  - {path: ../b.quarl, as: b}\n"
      "  - {path: ./c.md, names: [f, g]}\n");
  ASSERT_EQ(fm.imports.size(), 3U);
  EXPECT_EQ(fm.imports[0].path, "./a.quarl");
  EXPECT_EQ(fm.imports[0].form, ImportForm::Merge);
  EXPECT_EQ(fm.imports[1].form, ImportForm::Alias);
  EXPECT_EQ(fm.imports[1].alias, "b");
  EXPECT_EQ(fm.imports[2].form, ImportForm::Selective);
  EXPECT_EQ(fm.imports[2].names, (std::vector<std::string>{"f", "g"}));
  EXPECT_TRUE(fm.variables.empty());
}

YamlNode mapping(const std::string& text) { return *load_yaml(text); }

// The documents of `texts` merged, the first as the base.
YamlNode merged(const std::vector<std::string>& texts) {
  std::vector<YamlNode> documents;
  for (const std::string& text : texts) documents.push_back(mapping(text));
  std::vector<const YamlNode*> layers;
  for (const YamlNode& document : documents) layers.push_back(&document);
  return merge_frontmatter(layers);
}

TEST(Frontmatter, Merge) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"{a: {x: 1, y: 2}, b: 1, type: quarl}", "{a: {y: 3}, c: 2, imports: []}"},
       "{a: {x: 1, y: 3}, b: 1, c: 2}"},
      {{"{a: {x: 1}}", "{a: 5}"}, "{a: 5}"},
      {{"{a: 5}", "{a: {x: 1}}"}, "{a: {x: 1}}"},
      {{"{extends: base, 1: x, k: v}", "{extends: child, 2: y}"}, "{k: v}"},
      {{"{n: {imports: 1, type: 2, extends: 3}}", "{n: {type: 4}}"},
       "{n: {imports: 1, type: 4, extends: 3}}"},
      {{"{a: 1, b: 2}", "{c: 3, a: 4}"}, "{a: 4, b: 2, c: 3}"},
      // Three layers: a value that is not a mapping ends a run of mappings,
      // a layer without the key does not, and runs merge at every level.
      {{"{a: {x: 1}}", "{a: 5}", "{a: {y: 2}}"}, "{a: {y: 2}}"},
      {{"{a: {x: 1}}", "{b: 1}", "{a: {y: 2}}"}, "{a: {x: 1, y: 2}, b: 1}"},
      {{"{a: {x: {p: 1, 1: n}}}", "{a: {x: {q: 2}}}", "{a: {x: {p: 3}}}"},
       "{a: {x: {p: 3, q: 2}}}"},
      {{"[1, 2]", "{a: 1}", "x"}, "{a: 1}"},
  };
  for (const auto& [layers, expected] : cases) {
    SCOPED_TRACE(layers.front() + " + " + layers.back());
    EXPECT_TRUE(merged(layers) == mapping(expected));
  }
}

TEST(Frontmatter, MergedFrontmatterRoundTrips) {
  const YamlNode document = merged({"title: Base\nmeta: {author: A, tags: [x, y]}\ntype: quarl\n",
                                    "title: \"true\"\nmeta: {tags: [z]}\nnew: 0x10\n"});
  const std::string text = emit_yaml(document);
  EXPECT_EQ(text, "title: \"true\"\nmeta:\n  author: A\n  tags:\n  - z\nnew: 0x10\n");
  EXPECT_TRUE(*load_yaml(text) == document);
}

}  // namespace
}  // namespace quarl
