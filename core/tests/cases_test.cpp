// The shared compile cases of tests/cases/ (their format is described in
// tests/cases/README.md), run through the core's entry points.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "outcomes.hpp"
#include "quarl/compile.hpp"
#include "quarl/loaded_template.hpp"
#include "quarl/value.hpp"
#include "syntax/lexer.hpp"
#include "syntax/parser.hpp"
#include "tree_print.hpp"

namespace quarl {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Case {
  std::string where;  // file:line of its === line
  std::string name;
  std::optional<std::string> source;
  ModuleMap modules;
  std::string entry;
  CallerVariables vars;
  std::optional<std::string> output;
  std::optional<json> messages;
  std::optional<std::string> error;
  std::optional<std::string> help;  // the error's help text ("none": it has none)
  std::vector<std::string> notes;   // the error's notes, when the case names any
  Warnings warnings;
  std::optional<std::vector<std::string>> dependencies;
  std::optional<std::string> tree;  // a parse case: the source's tree, nothing compiled
  std::optional<std::string> tokens;  // a lexer case: the source's tokens
  std::optional<std::string> unreadable;  // why the file could not be read
};

// A JSON value as a core value, at any depth: the core's own reader refuses
// what it nests too deep, and some cases pass such variables on purpose.
Value from_json(const json& node) {
  switch (node.type()) {
    case json::value_t::array: {
      Value::Array items;
      for (const json& item : node) items.push_back(from_json(item));
      return Value::array(std::move(items));
    }
    case json::value_t::object: {
      Value::Object members;
      for (const auto& [key, item] : node.items()) members.emplace(key, from_json(item));
      return Value::object(std::move(members));
    }
    default:
      return value_from_json(node);
  }
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.where << " " << c.name; }

void add_module(Case& c, std::string key, std::string text) {
  if (c.modules.empty()) c.entry = key;
  c.modules.emplace(std::move(key), std::move(text));
}

void set_field(Case& c, const std::string& key, const std::string& value) {
  if (key == "source") c.source = json::parse(value).get<std::string>();
  else if (key.starts_with("module ")) add_module(c, key.substr(7), json::parse(value).get<std::string>());
  else if (key == "vars") c.vars = CallerVariables(from_json(json::parse(value)));
  else if (key == "output") c.output = json::parse(value).get<std::string>();
  else if (key == "messages") c.messages = json::parse(value);
  else if (key == "error") c.error = value;
  else if (key == "help") c.help = value;
  else if (key == "note") c.notes.push_back(value);
  else if (key == "warning") c.warnings.push_back(value);
  else if (key == "tree") c.tree = value;
  else if (key == "tokens") c.tokens = value;
  else if (key == "dependencies") c.dependencies = json::parse(value).get<std::vector<std::string>>();
  else throw std::runtime_error("unknown field '" + key + "' in " + c.where);
}

std::vector<Case> read_cases(const fs::path& path) {
  std::vector<Case> cases;
  std::ifstream in(path);
  std::string line;
  std::optional<std::string> block;  // the key of the module being read
  std::string text;
  const auto end_block = [&] {
    // Blank lines end a block: they separate cases.
    while (text.ends_with("\n\n")) text.pop_back();
    if (text == "\n") text.clear();
    if (block) add_module(cases.back(), *block, std::move(text));
    block.reset();
    text.clear();
  };
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.starts_with("===") || line.starts_with("%%")) end_block();
    if (line.starts_with("===")) {
      cases.emplace_back();
      cases.back().where = path.filename().string() + ":" + std::to_string(number);
      cases.back().name = line.substr(line.find_first_not_of("= "));
    } else if (line.starts_with("%%")) {
      block = line.substr(3);
    } else if (block) {
      text += line + "\n";
    } else if (!line.empty() && !line.starts_with('#')) {
      const std::size_t colon = line.find(": ");
      if (cases.empty() || colon == std::string::npos)
        throw std::runtime_error("not a field: " + path.string() + ":" + std::to_string(number));
      set_field(cases.back(), line.substr(0, colon), line.substr(colon + 2));
    }
  }
  end_block();
  return cases;
}

std::vector<Case> all_cases() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(fs::path(TESSEL_SOURCE_DIR) / "tests/cases"))
    if (entry.path().extension() == ".txt") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<Case> cases;
  for (const fs::path& file : files) {
    try {
      for (Case& c : read_cases(file)) cases.push_back(std::move(c));
    } catch (const std::exception& e) {
      // A test that fails, rather than a test binary that cannot start.
      cases.emplace_back();
      cases.back().where = file.filename().string();
      cases.back().unreadable = e.what();
    }
  }
  return cases;
}

// A failure as the case files write it.
std::string error_line(const Failure& failure) {
  const auto* error = std::get_if<Error>(&failure);
  return error ? quarl::error_line(*error) : "internal fault: " + std::get<InternalFault>(failure).detail;
}

json messages_json(const std::vector<Message>& messages) {
  json list = json::array();
  for (const Message& m : messages) list.push_back({{"role", m.role}, {"content", m.content}});
  return list;
}

// The case loaded once, then compiled and checked: a load fails with the
// compile's own error, else each call gives what the compile and check gave.
void expect_same_when_loaded(const Case& c, const CompileOptions& options, const Outcome<CompileResult>& compiled,
                             const Outcome<CheckResult>& checked) {
  const Outcome<LoadedTemplatePtr> loaded =
      load_template(c.source ? TemplateInput::source(*c.source) : TemplateInput::map(c.modules, c.entry));
  if (!loaded) {
    ASSERT_FALSE(compiled) << "loading failed: " << error_line(loaded.error());
    EXPECT_EQ(error_line(loaded.error()), error_line(compiled.error()));
    return;
  }
  for (int render = 0; render < 2; ++render) {  // a second render finds the store as the first left it
    const Outcome<CompileResult> again = compile(**loaded, options);
    const Outcome<CheckResult> checked_again = check(**loaded, options);
    ASSERT_EQ(again.has_value(), compiled.has_value());
    ASSERT_EQ(checked_again.has_value(), checked.has_value());
    if (!again) {
      EXPECT_EQ(error_line(again.error()), error_line(compiled.error()));
      EXPECT_EQ(error_line(checked_again.error()), error_line(checked.error()));
      continue;
    }
    EXPECT_EQ(again->output, compiled->output);
    EXPECT_EQ(again->warnings, compiled->warnings);
    EXPECT_EQ(again->dependencies, compiled->dependencies);
    EXPECT_EQ(checked_again->warnings, checked->warnings);
  }
}

class Cases : public testing::TestWithParam<Case> {};

TEST_P(Cases, CompileAndCheck) {
  const Case& c = GetParam();
  SCOPED_TRACE(c.where + " " + c.name);
  ASSERT_FALSE(c.unreadable) << *c.unreadable;
  if (c.tokens) {
    const TokenList list = lex(std::make_shared<const std::string>(*c.source));
    EXPECT_EQ(testing_support::show_tokens(list.tokens), *c.tokens);
    // Every payload but the frontmatter's (a copy without carriage returns) is
    // a view into the module text.
    for (const Token& t : list.tokens) {
      if (t.kind == TokenKind::FrontmatterContent || t.text.empty()) continue;
      EXPECT_GE(t.text.data(), list.text->data());
      EXPECT_LE(t.text.data() + t.text.size(), list.text->data() + list.text->size());
    }
    return;
  }
  if (c.tree) {
    const Template parsed = parse_template(lex(std::make_shared<const std::string>(*c.source)));
    EXPECT_EQ(testing_support::show_template(parsed), *c.tree);
    return;
  }
  CompileOptions options;
  options.vars = c.vars;
  const Outcome<CompileResult> result =
      c.source ? compile_source(*c.source, options) : compile_virtual(c.modules, c.entry, options);
  const Outcome<CheckResult> checked =
      c.source ? check_source(*c.source, options) : check_virtual(c.modules, c.entry, options);
  expect_same_when_loaded(c, options, result, checked);
  if (c.error) {
    ASSERT_FALSE(result) << "compiled without error";
    EXPECT_EQ(error_line(result.error()), *c.error);
    if (const auto* error = std::get_if<Error>(&result.error())) {
      if (c.help) {
        EXPECT_EQ(error->help().value_or("none"), *c.help);
      }
      if (c.notes == std::vector<std::string>{"none"}) {
        EXPECT_EQ(error->notes(), std::vector<std::string>());
      } else if (!c.notes.empty()) {
        EXPECT_EQ(error->notes(), c.notes);
      }
    }
    ASSERT_FALSE(checked) << "checked without error";
    EXPECT_EQ(error_line(checked.error()), *c.error);
    return;
  }
  ASSERT_TRUE(result) << error_line(result.error());
  if (const auto* text = std::get_if<std::string>(&result->output)) {
    EXPECT_EQ(c.output, *text);
  } else {
    EXPECT_EQ(c.messages, messages_json(std::get<std::vector<Message>>(result->output)));
  }
  EXPECT_EQ(result->warnings, c.warnings);
  if (c.dependencies) {
    EXPECT_EQ(result->dependencies, *c.dependencies);
  }
  ASSERT_TRUE(checked) << error_line(checked.error());
  EXPECT_EQ(checked->warnings, c.warnings);
}

INSTANTIATE_TEST_SUITE_P(Files, Cases, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<Case>& param) {
                           std::string name = param.param.where;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

}  // namespace
}  // namespace quarl
