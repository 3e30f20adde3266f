#include "targets.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "formatter.hpp"
#include "frontmatter.hpp"
#include "lexer.hpp"
#include "module_source.hpp"
#include "parser.hpp"
#include "quarl/compile.hpp"
#include "quarl/lint.hpp"
#include "yaml.hpp"

namespace quarl::fuzz {
namespace {

[[noreturn]] void broken(std::string_view promise) {
  std::fprintf(stderr, "fuzz target: %.*s\n", static_cast<int>(promise.size()), promise.data());
  std::abort();
}

// An entry point's failure must be a compile error; memory running out is
// libFuzzer's to report.
template <class T>
void expect_no_fault(const Outcome<T>& outcome) {
  if (outcome) return;
  if (const auto* fault = std::get_if<InternalFault>(&outcome.error()))
    if (!fault->out_of_memory) broken("internal fault: " + fault->detail);
}

Value variables() {
  return Value::object({
      {"x", Value::boolean(true)},
      {"n", Value::number(3)},
      {"s", Value::string("text")},
      {"xs", Value::array({Value::string("a"), Value::string("b")})},
      {"o", Value::object({{"a", Value::number(1)}, {"b", Value::array({Value::null()})}})},
  });
}

}  // namespace

// Whatever parses, the formatter lays out without changing its tree, and
// its layout is a fixed point.
void parse(std::string_view input) {
  try {
    (void)parse_template(lex(without_byte_order_mark(std::make_shared<const std::string>(input))));
  } catch (const Error&) {
    return;
  }
  std::string formatted;
  try {
    formatted = format_template(input);
  } catch (const Error& error) {
    broken("a template that parses does not format: " + error.message());
  }
  if (format_template(formatted) != formatted) broken("formatting twice changed the layout");
}

void frontmatter(std::string_view input) {
  YamlNode merged;
  try {
    const Frontmatter loaded = load_frontmatter(input, false, {});
    if (!loaded.document) return;
    const YamlNode* layers[] = {loaded.document.get()};
    merged = merge_frontmatter(layers);
  } catch (const Error&) {
    return;
  }
  if (merged.entries.empty()) return;
  const std::string text = emit_yaml(merged);
  try {
    const YamlPtr again = load_yaml(text);
    if (!again || !(*again == merged)) broken("emitted YAML reads back as a different tree");
  } catch (const Error& error) {
    // Block style may take more room than the flow style it was read from.
    if (error.code() != ErrorCode::ResourceLimit)
      broken("emitted YAML does not load: " + error.message());
  }
}

void compile(std::string_view input) {
  if (input.empty()) return;
  const auto flags = static_cast<unsigned char>(input.front());
  input.remove_prefix(1);
  const std::string extension = flags & 0x40 ? ".md" : ".quarl";
  ModuleMap modules;
  for (std::size_t i = 0;; ++i) {
    const std::size_t end = std::min(input.find('\xff'), input.size());
    modules.emplace("m" + std::to_string(i) + extension, std::string(input.substr(0, end)));
    if (end == input.size() || i == 7) break;
    input.remove_prefix(end + 1);
  }
  const std::string entry = "m" + std::to_string((flags & 0x07) % modules.size()) + extension;
  CompileOptions options;
  if (flags & 0x10) options.vars = CallerVariables(variables());
  options.source_map = (flags & 0x20) != 0;
  const Outcome<CompileResult> compiled = compile_virtual(modules, entry, options);
  expect_no_fault(compiled);
  const Outcome<CheckResult> checked = check_virtual(modules, entry, options);
  expect_no_fault(checked);
  if (compiled.has_value() != checked.has_value()) broken("compile and check disagree");
  // Lint runs the same gate, then its rules over whatever passed it.
  const Outcome<Value> linted = lint_virtual(modules, entry, options, {{"shadow-variable", Severity::Info}});
  expect_no_fault(linted);
  if (linted.has_value() != checked.has_value()) broken("lint and check disagree");
  // Valid UTF-8 in, valid UTF-8 out: the canonical text has a form for it.
  if (compiled) (void)canonical_text(to_canonical_json(*compiled));
}

void scan_imports(std::string_view input) { expect_no_fault(quarl::scan_imports(std::string(input))); }

void canonical(std::string_view input) {
  const nlohmann::json json = nlohmann::json::parse(input, nullptr, false);
  if (json.is_discarded()) return;
  std::string text;
  Value value;
  try {
    value = value_from_json(json);
    text = canonical_text(value);
  } catch (const Error&) {
    return;  // nested too deep
  } catch (const std::invalid_argument&) {
    return;  // a number JSON has no form for (it read 1e999 as infinity)
  }
  const Value again = value_from_json(nlohmann::json::parse(text));
  if (!(again == value)) broken("canonical text reads back as a different value");
  if (canonical_text(again) != text) broken("canonical text is not stable");
}

}  // namespace quarl::fuzz
