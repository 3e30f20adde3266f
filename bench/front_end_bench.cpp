// Lexer throughput on real Markdown.
//
//   quarl_bench [DIR]
//
// Reads every *.md file under DIR (default: the prompt collection in
// ../shared/data/prompts, as seen from the repository), keeps those that lex,
// repeats them into a corpus of about 8 MB and reports MB/s for that corpus
// and for plain prose (the same text with every brace, '@' and fence character
// replaced), best of several runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "lexer.hpp"

namespace {

constexpr std::size_t kCorpusBytes = 8U << 20U;
constexpr int kRuns = 7;

bool lexes(const std::string& text) {
  try {
    quarl::lex(std::make_shared<const std::string>(text));
    return true;
  } catch (const quarl::Error&) {
    return false;
  }
}

std::string read_corpus(const std::filesystem::path& dir, std::size_t* files) {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    if (entry.is_regular_file() && entry.path().extension() == ".md") paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::string all;
  for (const auto& path : paths) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    if (!lexes(text)) continue;
    if (!text.ends_with('\n')) text.push_back('\n');
    all += text;
    ++*files;
  }
  return all;
}

std::string repeat_to_size(const std::string& unit) {
  std::string out;
  out.reserve(kCorpusBytes + unit.size());
  while (out.size() < kCorpusBytes) out += unit;
  return out;
}

// The same text with nothing left for the lexer to find but line ends.
std::string as_prose(std::string text) {
  for (char& c : text)
    if (c == '{' || c == '}' || c == '@' || c == '`' || c == '~' || c == '\\') c = ' ';
  return text;
}

void measure(const char* label, const std::string& text) {
  const auto shared = std::make_shared<const std::string>(text);
  double best = 1e30;
  std::size_t tokens = 0;
  for (int i = 0; i < kRuns; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const quarl::TokenList list = quarl::lex(shared);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
    tokens = list.tokens().size();
  }
  std::printf("%-10s %6.2f MB  %9zu tokens  %8.1f MB/s\n", label,
              static_cast<double>(text.size()) / 1e6, tokens,
              static_cast<double>(text.size()) / 1e6 / best);
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = argc > 1 ? argv[1] : "../shared/data/prompts";
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    std::fprintf(stderr, "quarl_bench: no directory %s (pass a folder of .md files)\n",
                 dir.c_str());
    return 2;
  }
  std::size_t files = 0;
  const std::string unit = read_corpus(dir, &files);
  if (unit.empty()) {
    std::fprintf(stderr, "quarl_bench: no .md file under %s lexes\n", dir.c_str());
    return 2;
  }
  std::printf("lexer, %zu files from %s, best of %d runs\n", files, dir.c_str(), kRuns);
  const std::string markdown = repeat_to_size(unit);
  measure("markdown", markdown);
  measure("prose", as_prose(markdown));
  return 0;
}
