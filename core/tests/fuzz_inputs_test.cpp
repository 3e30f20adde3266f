// Every fuzz target on its seeds and on every input that ever made one fail
// (a crash, a sanitizer report, a broken promise, or a slow run), on a thread
// with a small stack, each within a time bound.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "outcomes.hpp"
#include "targets.hpp"

namespace quarl {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(FuzzInputs, RunCleanlyAndQuickly) {
  const fs::path root = TESSEL_SOURCE_DIR;
  std::size_t inputs = 0;
  for (const fuzz::Target& target : fuzz::kTargets) {
    for (const fs::path& folder : {root / "fuzz" / "corpus" / target.seeds,
                                  root / "tests" / "fuzz_regressions" / target.name}) {
      if (!fs::exists(folder)) continue;
      for (const fs::directory_entry& file : fs::directory_iterator(folder)) {
        SCOPED_TRACE(file.path().string());
        const std::string input = contents(file.path());
        const auto start = std::chrono::steady_clock::now();
        on_stack_of(std::size_t{256} << 10, [&] { target.run(input); });
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took.count(), 2.0);
        ++inputs;
      }
    }
  }
  EXPECT_GT(inputs, 400U);  // the seeds are there
}

}  // namespace
}  // namespace quarl
