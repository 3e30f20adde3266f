// Every limit at its edge: the largest input it allows gives its full result,
// one step more gives the limit's error.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "inputs.hpp"
#include "modules/inheritance.hpp"
#include "modules/loader.hpp"
#include "printers.hpp"
#include "quarl/compile.hpp"
#include "render/builtins.hpp"
#include "render/evaluator.hpp"
#include "render/output.hpp"
#include "syntax/expressions.hpp"
#include "syntax/frontmatter.hpp"
#include "syntax/lexer.hpp"
#include "syntax/parser.hpp"
#include "syntax/yaml.hpp"

namespace quarl {
namespace {

using testing_support::import_chain;
using testing_support::nested_arrays;
using testing_support::nested_call;
using testing_support::ones;
using testing_support::repeat;

struct Limit {
  const char* name;
  std::size_t at;  // the largest size allowed
  // What an input of size n produces, measured (bytes, messages, entries...);
  // throws the error an input past the limit gives.
  std::function<std::size_t(std::size_t)> run;
  std::size_t produced_at;  // that measure at the limit
  std::string error;        // the message one past the limit
  std::optional<Span> span = std::nullopt;
};

// The compile's output size or message count; its failure is thrown.
std::size_t compiled(const ModuleMap& modules, Value::Object vars = {}) {
  CompileOptions options;
  options.vars = std::move(vars);
  const Outcome<CompileResult> result = compile_virtual(modules, "main.quarl", options);
  if (!result) {
    if (const auto* error = std::get_if<Error>(&result.error())) throw *error;
    throw std::runtime_error(std::get<InternalFault>(result.error()).detail);
  }
  if (const auto* text = std::get_if<std::string>(&result->output)) return text->size();
  return std::get<std::vector<Message>>(result->output).size();
}

std::size_t compiled(const std::string& source, Value::Object vars = {}) {
  return compiled(ModuleMap{{"main.quarl", source}}, std::move(vars));
}

std::size_t parsed(const std::string& source) {
  return parse_template(lex(std::make_shared<const std::string>(source))).body.size();
}

std::size_t loaded(const std::string& yaml) { return load_yaml(yaml) ? 1 : 0; }

// `depth` nested blocks: `first` outermost, then @define, @for and @if in turn.
std::string nested_blocks(const std::string& first, std::size_t depth) {
  static const std::string openers[] = {"@define f():\n", "@for x in xs:\n", "@if x:\n"};
  std::string source = first;
  for (std::size_t i = 1; i < depth; ++i) source += openers[i % 3];
  return source + repeat("@end\n", depth);
}

// Blocks nested n deep under `first`; the name is the row's.
Limit nesting_under(const char* first) {
  return {first, kMaxNestingDepth, [first](std::size_t n) { return parsed(nested_blocks(first, n)); }, 1,
          "syntax error: nesting depth exceeds maximum of 64"};
}

std::string operands(std::size_t count, const char* op) {
  std::string text = "x0";
  for (std::size_t i = 1; i < count; ++i) text += std::string(" ") + op + " x" + std::to_string(i);
  return text;
}

// A chain of `depth` distinct functions f1 -> f2 -> ..., each calling the
// next from inside nested loops and conditions.
std::string call_chain(std::size_t depth) {
  std::string source;
  for (std::size_t i = 1; i <= depth; ++i) {
    source += "@define f" + std::to_string(i) + "():\n@for a in one:\n@if a:\n@for b in one:\n@if b && a:\n";
    source += i < depth ? "{{ f" + std::to_string(i + 1) + "() }}" : "bottom";
    source += "\n@end\n@end\n@end\n@end\n@end\n";
  }
  return source + "{{ f1() }}";
}

// An entry importing `count` empty modules.
ModuleMap import_star(std::size_t count) {
  ModuleMap modules{{"main.quarl", ""}};
  for (std::size_t i = 0; i < count; ++i) {
    const std::string name = "m" + std::to_string(i) + ".quarl";
    modules["main.quarl"] += "@import \"./" + name + "\" as a" + std::to_string(i) + "\n";
    modules.emplace(name, "");
  }
  return modules;
}

// The same count, imported through one module: the hub counts while its
// own imports load.
ModuleMap import_hub(std::size_t count) {
  ModuleMap modules = import_star(count - 1);
  modules["hub.quarl"] = std::move(modules["main.quarl"]);
  modules["main.quarl"] = "@import \"./hub.quarl\" as hub\n";
  return modules;
}

// `depth` nested block mappings around a scalar.
std::string nested_mappings(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += std::string(i * 2, ' ') + "k:\n";
  return text + std::string(depth * 2, ' ') + "v\n";
}

std::size_t merged_depth(std::size_t depth) {
  const std::string deep = repeat("{k: ", depth) + "v" + repeat("}", depth);
  const YamlPtr a = load_yaml(deep), b = load_yaml(deep);
  const YamlNode* layers[] = {a.get(), b.get()};
  return merge_frontmatter(layers).entries.size();
}

Value text_of(std::size_t size, char fill = 'x') { return Value::string(std::string(size, fill)); }

const std::string kYamlNodes =
    "resource limit exceeded: frontmatter YAML node count exceeds maximum of 200000 (anchors "
    "expanded by aliases count once per expansion)";
const std::string kIterations =
    "resource limit exceeded: total loop iterations exceeded maximum of 1000000 across all loops "
    "in this compilation";
const std::string kOutput = "resource limit exceeded: output exceeds maximum size of 52428800 bytes";

std::vector<Limit> limits() {
  const Value::Object one{{"one", ones(1)}};
  return {
      // Template structure.
      {"source size", kMaxSourceBytes, [](std::size_t n) { return compiled(std::string(n, 'x')); },
       kMaxSourceBytes + 1,
       "resource limit exceeded: file too large (10485761 bytes, max 10485760 bytes): main.quarl"},
      nesting_under("@if x:\n"),
      nesting_under("@message m:\n"),
      nesting_under("@block b:\n"),
      {"@elseif branches", kMaxElseIfBranches,
       [](std::size_t n) { return parsed("@if x:\n" + repeat("@elseif y:\n", n) + "@end"); }, 1,
       "syntax error: @if block has more than 256 @elseif branches", Span{7 + 256 * 11, 10}},
      {"@block declarations", kMaxBlocks,
       [](std::size_t n) {
         std::string text;
         for (std::size_t i = 0; i < n; ++i) text += "@block b" + std::to_string(i) + ":\nb\n@end\n";
         return compiled(text);
       },
       2 * kMaxBlocks, "resource limit exceeded: module has more than 256 @block declarations"},
      // Expressions.
      {"nested calls", kMaxCallDepth,
       [](std::size_t n) { return compiled("{{ " + nested_call("trim", n + 1, "\"ab\"") + " }}"); }, 3,
       "syntax error: nested function call depth exceeds maximum of 64"},
      {"operands of &&", kMaxConditionOperands,
       [](std::size_t n) { return std::get<And>(parse_condition(operands(n, "&&")).node).operands.size(); },
       16, "syntax error: logical expression has 17 operands, exceeding maximum of 16"},
      {"operands of ||", kMaxConditionOperands,
       [](std::size_t n) { return std::get<Or>(parse_condition(operands(n, "||")).node).operands.size(); },
       16, "syntax error: logical expression has 17 operands, exceeding maximum of 16"},
      {"operands of && under ||", kMaxConditionOperands,
       [](std::size_t n) {
         return std::get<Or>(parse_condition(operands(n / 2, "&&") + " || " + operands(n - n / 2, "&&")).node)
             .operands.size();
       },
       2, "syntax error: logical expression has 17 operands, exceeding maximum of 16"},
      // Rendering.
      {"function call depth", kMaxCallStack, [one](std::size_t n) { return compiled(call_chain(n), one); },
       7, "recursion detected in function 'f129 (call depth exceeds 128)'"},
      {"iterations of one loop over an array", kMaxLoopIterations,
       [](std::size_t n) { return compiled("@for x in xs:\n.\n@end", {{"xs", ones(n)}}); },
       2 * kMaxLoopIterations,
       "resource limit exceeded: array has 100001 elements, exceeding maximum loop iteration limit "
       "of 100000"},
      {"iterations of one loop over an object", kMaxLoopIterations,
       [](std::size_t n) {
         std::vector<Value::Object::value_type> entries;
         for (std::size_t i = 0; i < n; ++i) entries.emplace_back(std::to_string(i), Value::null());
         return compiled("@for k, v in o:\n.\n@end",
                         {{"o", Value::object(Value::Object::from_entries(std::move(entries)))}});
       },
       2 * kMaxLoopIterations,
       "resource limit exceeded: object has 100001 entries, exceeding maximum loop iteration limit "
       "of 100000"},
      // 1000 outer and 1000 * 999 inner iterations are a million; then one more loop.
      {"iterations of all loops", 0,
       [](std::size_t n) {
         return compiled("@for a in outer:\n@for b in inner:\n@end\n@end\n@for c in more:\n.\n@end",
                         {{"outer", ones(1000)}, {"inner", ones(999)}, {"more", ones(n)}});
       },
       0, kIterations},
      {"nested loops", 999,
       [](std::size_t n) {
         return compiled("@for a in outer:\n@for b in inner:\n@end\n@end\n",
                         {{"outer", ones(1000)}, {"inner", ones(n)}});
       },
       0, kIterations},
      {"output size", kMaxOutputBytes, [](std::size_t n) { return compiled("{{ s }}", {{"s", text_of(n)}}); },
       kMaxOutputBytes + 1, kOutput},
      // A function's value (with its body's line feed) counts as it renders,
      // before it is trimmed and placed.
      {"output size inside a call", kMaxOutputBytes,
       [](std::size_t n) {
         return compiled("@define f():\n{{ a }}{{ b }}\n@end\n{{ f() }}",
                         {{"a", text_of(n / 2)}, {"b", text_of(n - n / 2 - 1)}});
       },
       kMaxOutputBytes, kOutput},
      {"join() output", kMaxBuiltinOutput,
       [](std::size_t n) {
         return compiled("{{ length(join(xs, \"\")) }}",
                         {{"xs", Value::array({text_of(n / 2), text_of(n - n / 2)})}});
       },
       9, "join() output exceeds maximum size of 52428800 bytes"},
      {"replace() output", kMaxBuiltinOutput,
       [](std::size_t n) {
         return compiled("{{ length(replace(s, \"x\", \"xx\")) }}",
                         {{"s", Value::string(std::string(n / 2, 'x') + std::string(n % 2, 'y'))}});
       },
       9, "replace() output exceeds maximum size of 52428800 bytes"},
      {"split() pieces", kMaxSplitPieces,
       [](std::size_t n) { return compiled("{{ length(split(s, \",\")) }}", {{"s", text_of(n - 1, ',')}}); },
       7, "split() result exceeds maximum of 100000 elements"},
      {"messages", kMaxMessages,
       [](std::size_t n) { return compiled("@for i in xs:\n@message user:\n{{ i }}\n@end\n@end", {{"xs", ones(n)}}); },
       kMaxMessages, "resource limit exceeded: message count exceeded maximum of 10000"},
      {"message content", kMaxMessageBytes,
       [](std::size_t n) {
         return compiled("@message a:\n{{ a }}\n@end\n@message b:\n{{ b }}\n@end\n",
                         {{"a", text_of(n / 2)}, {"b", text_of(n - n / 2)}});
       },
       2,
       "resource limit exceeded: total message content exceeds maximum cumulative size of 52428800 "
       "bytes"},
      // Frontmatter.
      {"frontmatter size", kMaxFrontmatterBytes,
       [](std::size_t n) { return compiled("---\na: " + std::string(n - 4, 'x') + "\n---\n"); },
       kMaxFrontmatterBytes + 8,
       "resource limit exceeded: frontmatter too large (1048577 bytes, max 1048576 bytes)"},
      {"YAML flow nesting", kMaxFlowNesting,
       [](std::size_t n) { return loaded("a: " + repeat("[", n) + repeat("]", n)); }, 1,
       "resource limit exceeded: frontmatter YAML flow nesting exceeds maximum depth of 1024"},
      {"YAML flow nesting inside quotes", kMaxFlowNesting,
       [](std::size_t n) { return loaded("a: \"" + repeat("{", n) + "\""); }, 1,
       "resource limit exceeded: frontmatter YAML flow nesting exceeds maximum depth of 1024"},
      // Depth counts, not brackets: siblings do not add up.
      {"YAML flow nesting after siblings", kMaxFlowNesting,
       [](std::size_t n) { return loaded("a: [" + repeat("[], ", 5000) + repeat("[", n - 1) + repeat("]", n)); }, 1,
       "resource limit exceeded: frontmatter YAML flow nesting exceeds maximum depth of 1024"},
      {"YAML nesting", kMaxYamlNesting, [](std::size_t n) { return loaded(repeat("- ", n) + "x"); }, 1,
       "resource limit exceeded: frontmatter YAML nesting exceeds maximum depth of 2048"},
      {"YAML block and flow nesting", kMaxYamlNesting,
       [](std::size_t n) { return loaded(repeat("- ", n - 1024) + repeat("[", 1024) + repeat("]", 1024)); }, 1,
       "resource limit exceeded: frontmatter YAML nesting exceeds maximum depth of 2048"},
      // A sequence of n scalars is n + 1 nodes.
      {"YAML nodes", kMaxYamlNodes - 1, [](std::size_t n) { return loaded("[" + repeat("0,", n - 1) + "0]"); },
       1, kYamlNodes},
      // An anchor of 1001 nodes, each alias expanding it again.
      {"YAML nodes of aliases", 198,
       [](std::size_t n) { return loaded("a: &a [" + repeat("0,", 999) + "0]\nb: [" + repeat("*a,", n) + "0]"); },
       1, kYamlNodes},
      // The variable's own mapping is depth 0: 65 mappings put the scalar at 64.
      {"frontmatter value depth", kMaxValueDepth + 1,
       [](std::size_t n) { return load_frontmatter(nested_mappings(n), false, {}).variables.size(); }, 1,
       "YAML parse error: value nesting exceeds maximum depth of 64"},
      {"frontmatter merge depth", kMaxMergeDepth + 1, merged_depth, 1,
       "resource limit exceeded: frontmatter merge depth exceeds maximum of 64"},
      {"frontmatter imports", kMaxFrontmatterImports,
       [](std::size_t n) {
         return load_frontmatter("imports: [" + repeat("{path: ./a},", n - 1) + "{path: ./a}]\n", false, {})
             .imports.size();
       },
       256, "resource limit exceeded: imports exceeds maximum of 256 entries (in frontmatter)"},
      // Caller variables and modules.
      {"caller value depth", kMaxValueDepth,
       [](std::size_t n) { return compiled("x", {{"v", nested_arrays(n)}}); }, 2,
       "JSON parse error: value nesting exceeds maximum depth of 64"},
      {"JSON value depth", kMaxValueDepth,
       [](std::size_t n) {
         nlohmann::json node = 1;
         for (std::size_t i = 0; i < n; ++i) node = nlohmann::json::array({node});
         return to_text(value_from_json(node)).size();
       },
       1, "JSON parse error: value nesting exceeds maximum depth of 64"},
      {"import depth", kMaxResolvingDepth - 1, [](std::size_t n) { return compiled(import_chain(n)); }, 4,
       "import error: import depth exceeds maximum of 64 (possible deep chain)"},
      {"modules", kMaxModules, [](std::size_t n) { return compiled(import_star(n)); }, 0,
       "resource limit exceeded: module count exceeds maximum of 256 (256 modules resolved)"},
      {"modules through a hub", kMaxModules, [](std::size_t n) { return compiled(import_hub(n)); }, 0,
       "resource limit exceeded: module count exceeds maximum of 256 (256 modules resolved)"},
  };
}

TEST(Limits, AtTheEdgeAndOnePast) {
  for (const Limit& limit : limits()) {
    SCOPED_TRACE(limit.name);
    try {
      EXPECT_EQ(limit.run(limit.at), limit.produced_at);
    } catch (const Error& e) {
      ADD_FAILURE() << "at the limit: " << e.message();
    }
    try {
      limit.run(limit.at + 1);
      ADD_FAILURE() << "accepted one past the limit";
    } catch (const Error& e) {
      EXPECT_EQ(e.message(), limit.error);
      if (limit.span) {
        EXPECT_EQ(e.span(), limit.span);
      }
    }
  }
}

// Warnings stop at their cap; the compile goes on.
TEST(Limits, Warnings) {
  const auto includes = [](std::size_t count) {
    const ModuleMap modules{{"main.quarl", "@import \"./m.quarl\" as m\n" + repeat("@include m\n", count)},
                            {"m.quarl", "@define f():\n@end\n"}};
    return compile_virtual(modules, "main.quarl", {})->warnings.size();
  };
  EXPECT_EQ(includes(kMaxWarnings), kMaxWarnings);
  EXPECT_EQ(includes(kMaxWarnings + 1), kMaxWarnings);
}

}  // namespace
}  // namespace quarl
