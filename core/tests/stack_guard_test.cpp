// Running out of stack: every phase that recurses over what its input nests
// gives its result or a clean error on any thread stack, never a crash.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inputs.hpp"
#include "outcomes.hpp"
#include "quarl/compile.hpp"

namespace quarl {
namespace {

using testing_support::nested_arrays;
using testing_support::nested_call;
using testing_support::repeat;

struct Deep {
  const char* name;
  ModuleMap modules;  // the entry is "main.quarl"
  Value::Object vars;
};

// Inputs that nest as deep as each phase allows (or deeper, where the phase
// refuses them only after building them).
std::vector<Deep> deep_inputs() {
  const Value::Object x{{"x", Value::boolean(true)}};
  std::vector<Deep> inputs = {
      {"YAML sequences 2047 deep", {{"main.quarl", "---\nk:\n" + repeat("- ", 2047) + "x\n---\nb\n"}},
       {}},
      {"a mapping key 1000 deep", {{"main.quarl", "---\n? " + repeat("[", 1000) + repeat("]", 1000) + "\n: x\n---\nb\n"}},
       {}},
      {"blocks 64 deep", {{"main.quarl", repeat("@if x:\n", 64) + "y\n" + repeat("@end\n", 64)}}, x},
      {"call arguments 64 deep", {{"main.quarl", "{{ " + nested_call("trim", 64, "\"a\"") + " }}"}}, {}},
      {"conditions of deep calls",
       {{"main.quarl", "@if " + nested_call("trim", 63, "\"a\"") + " == \"a\" && " +
                           nested_call("lower", 63, "\"b\"") + " != \"c\":\nyes\n@end\n"}},
       {}},
      {"messages 63 deep",
       {{"main.quarl", "@message user:\n" + repeat("@for i in xs:\n", 63) + "hi\n" + repeat("@end\n", 64)}},
       {{"xs", Value::array({Value::number(1)})}}},
      {"a caller value 64 deep", {{"main.quarl", "{{ string(v) }}"}}, {{"v", nested_arrays(64)}}},
      {"a caller value 5000 deep", {{"main.quarl", "x"}}, {{"v", nested_arrays(5000)}}},
  };
  // 64 modules, each importing the next, each rendered when imported, with
  // nested blocks and nested call arguments of its own.
  Deep chain{"an import chain 64 deep", {}, {}};
  for (int i = 0; i < 64; ++i) {
    const std::string name = i ? "m" + std::to_string(i) + ".quarl" : "main.quarl";
    std::string text = "---\nx: true\n---\n";
    if (i < 63) text += "@import \"./m" + std::to_string(i + 1) + ".quarl\" as next\n";
    text += repeat("@if x:\n", 30) + "{{ " + nested_call("trim", 60, "\"deep\"") + " }}\n" +
            repeat("@end\n", 30);
    chain.modules.emplace(name, text);
  }
  inputs.push_back(std::move(chain));
  // 32 templates, each extending the next, whose frontmatter mappings nest
  // 60 deep and merge at every level.
  Deep extends{"an @extends chain of deep mappings", {}, {}};
  for (int i = 0; i < 32; ++i) {
    const std::string name = i ? "e" + std::to_string(i) + ".quarl" : "main.quarl";
    std::string text = "---\nk: " + repeat("{a: ", 60) + std::to_string(i) + repeat("}", 60) + "\n---\n";
    text += i < 31 ? "@extends \"./e" + std::to_string(i + 1) + ".quarl\"\n@block b:\nchild\n@end\n"
                   : "@block b:\nroot\n@end\n";
    extends.modules.emplace(name, text);
  }
  inputs.push_back(std::move(extends));
  return inputs;
}

std::string outcome_of(const Deep& input) {
  CompileOptions options;
  options.vars = input.vars;
  const Outcome<CompileResult> result = compile_virtual(input.modules, "main.quarl", options);
  if (result) {
    if (const auto* text = std::get_if<std::string>(&result->output)) return *text;
    return std::get<std::vector<Message>>(result->output).front().content;
  }
  if (const auto* error = std::get_if<Error>(&result.error())) return error->message();
  return "internal: " + std::get<InternalFault>(result.error()).detail;
}

TEST(StackGuard, AnyThreadStackGivesTheResultOrACleanError) {
  const std::string out_of_stack =
      "resource limit exceeded: template nesting exceeds the available stack space";
  for (const Deep& input : deep_inputs()) {
    SCOPED_TRACE(input.name);
    std::string expected;
    on_stack_of(std::size_t{64} << 20, [&] { expected = outcome_of(input); });
    EXPECT_NE(expected, out_of_stack);
    for (const std::size_t kib : {32, 64, 96, 128, 192, 256, 384}) {
      SCOPED_TRACE(kib);
      std::string got;
      on_stack_of(kib << 10, [&] { got = outcome_of(input); });
      if (got != out_of_stack) {
        EXPECT_EQ(got, expected);
      }
    }
  }
}

}  // namespace
}  // namespace quarl
