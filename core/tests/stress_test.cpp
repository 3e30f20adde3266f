// Eight threads compiling at once get what one thread gets: calls share no
// state (ThreadSanitizer checks the same under `make tsan`).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "quarl/compile.hpp"

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
std::string run(const Job& job) {
  CompileOptions options;
  options.vars = job.vars;
  const Outcome<CompileResult> result = compile_virtual(job.modules, "main.quarl", options);
  if (!result) return std::get<Error>(result.error()).message();
  return canonical_text(to_canonical_json(*result));
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

}  // namespace
}  // namespace quarl
