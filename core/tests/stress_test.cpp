// Eight threads compiling at once get what one thread gets: calls share no
// state, and renders of one loaded template share only its read-only parses
// (ThreadSanitizer checks the same under `make tsan`).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "quarl/compile.hpp"
#include "quarl/loaded_template.hpp"

namespace quarl {
namespace {

struct Job {
  ModuleMap modules;  // the entry is "main.quarl"
  Value::Object vars;
};

std::vector<Job> jobs() {
  const Value::Object vars{{"name", Value::string("Ann")},
                           {"items", Value::array({Value::string("a"), Value::string("b")})}};
  return {
      {{{"main.quarl", "---\ntitle: T\n---\n# {{ title }}\n@for i in items:\n- {{ upper(i) }}\n@end\n"}},
       vars},
      {{{"main.quarl", "@import \"./lib.quarl\" as lib\n{{ lib.greet(name) }}\n@include lib\n"},
        {"lib.quarl", "@define greet(who):\nHello {{ who }}\n@end\nLibrary text\n"}},
       vars},
      {{{"main.quarl", "---\nk: child\n---\n@extends \"./base.quarl\"\n@block b:\n{{ k }}\n@end\n"},
        {"base.quarl", "---\nk: base\nm: {a: 1}\n---\nTop\n@block b:\n@end\n"}},
       {}},
      {{{"main.quarl", "@message system:\nHi {{ name }}\n@end\n@for i in items:\n@message user:\n{{ i }}\n@end\n@end\n"}},
       vars},
      {{{"main.quarl", "{{ missing }}"}}, {}},
      {{{"main.quarl", "@import \"./a.quarl\"\n"}, {"a.quarl", "@import \"./main.quarl\"\n"}}, {}},
      {{{"main.quarl", "---\nk: [1, &a {x: *a}]\n---\nbad"}}, {}},
  };
}

// The output, or the error's message.
std::string shown(const Outcome<CompileResult>& result) {
  if (!result) return std::get<Error>(result.error()).message();
  return canonical_text(to_canonical_json(*result));
}

std::string run(const Job& job) {
  CompileOptions options;
  options.vars = job.vars;
  return shown(compile_virtual(job.modules, "main.quarl", options));
}

TEST(Stress, ParallelCompilesMatchSequentialOnes) {
  const std::vector<Job> all = jobs();
  std::vector<std::string> expected;
  for (const Job& job : all) expected.push_back(run(job));
  std::vector<std::vector<std::string>> got(8);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < got.size(); ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round)
        for (std::size_t i = 0; i < all.size(); ++i)
          if (run(all[(i + t) % all.size()]) != expected[(i + t) % all.size()])
            got[t].push_back(all[(i + t) % all.size()].modules.at("main.quarl"));
    });
  for (std::thread& thread : threads) thread.join();
  for (const std::vector<std::string>& mismatches : got) EXPECT_TRUE(mismatches.empty());
}

// Records of two shapes, so that threads keep moving a dot path's field hint.
Value rows(std::size_t shift) {
  Value::Array all;
  for (std::size_t i = 0; i < 40; ++i) {
    const bool wide = (i + shift) % 2 == 0;
    all.push_back(wide ? Value::object({{"a", Value::number(1)}, {"b", Value::number(static_cast<double>(i))}})
                       : Value::object({{"b", Value::number(static_cast<double>(i))}}));
  }
  return Value::array(std::move(all));
}

TEST(Stress, ThreadsRenderingOneLoadedTemplateMatchOneThread) {
  std::vector<Job> all = jobs();
  all.push_back({{{"main.quarl", "@for r in rows:\n{{ r.b }}\n@end\n"}}, {}});
  std::vector<LoadedTemplatePtr> loaded;
  for (const Job& job : all)
    if (Outcome<LoadedTemplatePtr> once = load_template(TemplateInput::map(job.modules, "main.quarl")))
      loaded.push_back(*once);
  ASSERT_GE(loaded.size(), 6u);
  const auto options_of = [&](std::size_t t) {
    CompileOptions options;
    options.vars = Value::Object{{"name", Value::string("N" + std::to_string(t))},
                                 {"items", Value::array({Value::string("x")})},
                                 {"rows", rows(t)}};
    return options;
  };
  std::vector<std::vector<std::string>> expected(8);
  for (std::size_t t = 0; t < expected.size(); ++t)
    for (const LoadedTemplatePtr& each : loaded) expected[t].push_back(shown(compile(*each, options_of(t))));
  std::vector<int> mismatches(8);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < expected.size(); ++t)
    threads.emplace_back([&, t] {
      const CompileOptions options = options_of(t);
      for (int round = 0; round < 100; ++round)
        for (std::size_t i = 0; i < loaded.size(); ++i)
          mismatches[t] += shown(compile(*loaded[i], options)) != expected[t][i];
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(8));
}

}  // namespace
}  // namespace quarl
