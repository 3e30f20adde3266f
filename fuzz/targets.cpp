#include "targets.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "format/formatter.hpp"
#include "lint/rules.hpp"
#include "quarl/compile.hpp"
#include "quarl/index.hpp"
#include "quarl/loaded_template.hpp"
#include "quarl/lint.hpp"
#include "support/utf8.hpp"
#include "syntax/frontmatter.hpp"
#include "syntax/lexer.hpp"
#include "syntax/parser.hpp"
#include "syntax/yaml.hpp"

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

void parse(std::string_view input) {
  try {
    (void)parse_template(lex(std::make_shared<const std::string>(input)));
  } catch (const Error&) {
  }
}

// Whatever parses, the formatter lays out without changing its tree, and
// its layout is a fixed point; what does not parse fails to format with a
// compile error, never a fault.
void format(std::string_view input) {
  if (utf8::find_invalid(input)) return;  // format_source refuses it before parsing
  bool parses = true;
  try {
    (void)parse_template(lex(std::make_shared<const std::string>(input)));
  } catch (const Error&) {
    parses = false;
  }
  const Outcome<std::string> formatted = format_source(std::string(input));
  expect_no_fault(formatted);
  if (!formatted) {
    const auto* error = std::get_if<Error>(&formatted.error());
    if (error && error->code() == ErrorCode::FormatterInvariant)
      broken("the layout changed the tree: " + error->message());
    if (parses) broken("a template that parses does not format");
    return;
  }
  if (!parses) broken("a template that does not parse was formatted");
  const Outcome<std::string> again = format_source(*formatted);
  if (!again || *again != *formatted) broken("formatting twice changed the layout");
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

namespace {

// A virtual module map and its entry, decoded from a fuzz input (see
// `compile` in targets.hpp), with the options its first byte asks for.
struct Modules {
  ModuleMap map;
  std::string entry;
  CompileOptions options;
};

std::optional<Modules> decode_modules(std::string_view input) {
  if (input.empty()) return std::nullopt;
  const auto flags = static_cast<unsigned char>(input.front());
  input.remove_prefix(1);
  const std::string extension = flags & 0x40 ? ".md" : ".quarl";
  Modules modules;
  for (std::size_t i = 0;; ++i) {
    const std::size_t end = std::min(input.find('\xff'), input.size());
    modules.map.emplace("m" + std::to_string(i) + extension, std::string(input.substr(0, end)));
    if (end == input.size() || i == 7) break;
    input.remove_prefix(end + 1);
  }
  modules.entry = "m" + std::to_string((flags & 0x07) % modules.map.size()) + extension;
  if (flags & 0x10) modules.options.vars = CallerVariables(variables());
  modules.options.source_map = (flags & 0x20) != 0;
  return modules;
}

// The value of `key` in an object value (null when absent).
const Value& member(const Value& object, std::string_view key) {
  static const Value kNull;
  const ObjectView members = object.as_object();
  const Member* found = members.find(key);
  return found == members.end() ? kNull : found->second;
}

bool on_boundary(std::string_view text, double offset) {
  if (offset < 0 || offset > static_cast<double>(text.size())) return false;
  const auto at = static_cast<std::size_t>(offset);
  return at == text.size() || !utf8::is_continuation(text[at]);
}

}  // namespace

void compile(std::string_view input) {
  const std::optional<Modules> modules = decode_modules(input);
  if (!modules) return;
  const CompileOptions& options = modules->options;
  const Outcome<CompileResult> compiled = compile_virtual(modules->map, modules->entry, options);
  expect_no_fault(compiled);
  const Outcome<CheckResult> checked = check_virtual(modules->map, modules->entry, options);
  expect_no_fault(checked);
  if (compiled.has_value() != checked.has_value()) broken("compile and check disagree");
  // Lint runs the same gate, then its rules over whatever passed it.
  const Outcome<Value> linted = lint_virtual(modules->map, modules->entry, options, {});
  expect_no_fault(linted);
  if (linted.has_value() != checked.has_value()) broken("lint and check disagree");
  // The index of what checks never fails; of what does not, it fails only
  // where the entry itself does not parse.
  const Outcome<std::string> indexed = index(TemplateInput::map(modules->map, modules->entry), options);
  expect_no_fault(indexed);
  if (checked && !indexed) broken("a template that checks has no index");
  // Valid UTF-8 in, valid UTF-8 out: the canonical text has a form for it.
  if (compiled) (void)canonical_text(to_canonical_json(*compiled));
  // Loaded once, the template renders what the compile gave, or fails as
  // it did: at load, or at the render.
  const Outcome<LoadedTemplatePtr> loaded = load_template(TemplateInput::map(modules->map, modules->entry));
  expect_no_fault(loaded);
  const auto shown = [](const Outcome<CompileResult>& result) -> std::string {
    if (result) return canonical_text(to_canonical_json(*result));
    const auto* error = std::get_if<Error>(&result.error());
    return error ? error->message() : "fault";
  };
  if (!loaded) {
    if (compiled) broken("a template that compiles does not load");
    return;
  }
  const Outcome<CompileResult> rendered = quarl::compile(**loaded, options);
  expect_no_fault(rendered);
  if (shown(compiled) != shown(rendered))
    broken("a loaded template renders otherwise than the compile");
}

void lint(std::string_view input) {
  const std::optional<Modules> modules = decode_modules(input);
  if (!modules) return;
  RuleConfig every_rule;
  for (const LintRule& rule : lint_rules()) every_rule.emplace_back(rule.name, Severity::Info);
  const Outcome<Value> linted = lint_virtual(modules->map, modules->entry, modules->options, every_rule);
  expect_no_fault(linted);
  if (!linted) return;
  const std::string& text = modules->map.at(modules->entry);
  for (const Value& file : member(*linted, "files").as_array()) {
    for (const Value& finding : member(file, "diagnostics").as_array()) {
      const Value& span = member(finding, "span");
      if (!span.is_null() && (!on_boundary(text, member(span, "offset").as_number()) ||
                              !on_boundary(text, member(span, "offset").as_number() + member(span, "length").as_number())))
        broken("a finding's span does not lie on characters of the linted text");
      const Value& edits = member(finding, "fix_edits");
      if (edits.is_null()) continue;
      std::string fixed = text;
      // Applied from the last, so that the earlier offsets stay valid.
      for (std::size_t i = edits.as_array().size(); i-- > 0;) {
        const Value& edit = edits.as_array()[i];
        const double start = member(edit, "start").as_number();
        const double end = member(edit, "end").as_number();
        if (start > end || !on_boundary(text, start) || !on_boundary(text, end))
          broken("a fix edit does not lie on characters of the linted text");
        fixed.replace(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start),
                      member(edit, "new_text").as_string());
      }
      if (utf8::find_invalid(fixed)) broken("a fix edit leaves text that is not UTF-8");
    }
  }
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
