// Front-end throughput: lexing and parsing.
//
//   quarl_bench [DIR]
//
// Reads every *.md file under DIR (default: the prompt collection in
// ../shared/data/prompts, as seen from the repository), keeps those that lex,
// repeats them into a corpus of about 8 MB and reports MB/s, best of several
// runs, for: lexing that corpus; lexing plain prose (the same text with every
// brace, '@' and fence character replaced); lexing and parsing the files that
// also parse; lexing and parsing a synthetic template dense with directives
// and interpolations.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "syntax/lexer.hpp"
#include "syntax/parser.hpp"

namespace {

constexpr std::size_t kCorpusBytes = 8U << 20U;
constexpr int kRuns = 7;

// What a run measures: lexing only, or lexing and parsing.
enum class Phase { Lex, Parse };

// Runs the phase once; returns the number of tokens or top-level nodes.
std::size_t run(Phase phase, const std::shared_ptr<const std::string>& text) {
  quarl::TokenList tokens = quarl::lex(text);
  if (phase == Phase::Lex) return tokens.tokens.size();
  return quarl::parse_template(std::move(tokens)).body.size();
}

bool succeeds(Phase phase, const std::string& text) {
  try {
    run(phase, std::make_shared<const std::string>(text));
    return true;
  } catch (const quarl::Error&) {
    return false;
  }
}

std::string read_corpus(const std::filesystem::path& dir, Phase phase, std::size_t* files) {
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
    if (!succeeds(phase, text)) continue;
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

// A template that exercises every part of the front end on every few lines.
std::string dense_template() {
  const std::string unit =
      "@define greet(name, greeting=\"Hello\"):\n"
      "{{ greeting }}, {{ name }}!\n"
      "@end\n"
      "@for item in catalog.items:\n"
      "@if item.enabled && item.kind == \"tool\" || show_all:\n"
      "- {{ item.name }}: {{ upper(item.description) }} \\{{ literal }}\n"
      "@elseif item.kind != \"hidden\":\n"
      "- {{ format(item.name, \"x, y\", 1.5, true, null) }}\n"
      "@else:\n"
      "{{ greet(item.owner) }}\n"
      "@end\n"
      "@end\n"
      "```python\n"
      "print(\"{{ not interpolated }}\")\n"
      "```\n";
  return repeat_to_size(unit);
}

void measure(const char* label, Phase phase, const std::string& text) {
  const auto shared = std::make_shared<const std::string>(text);
  double best = 1e30;
  std::size_t items = 0;
  for (int i = 0; i < kRuns; ++i) {
    const auto start = std::chrono::steady_clock::now();
    items = run(phase, shared);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  std::printf("%-16s %6.2f MB  %9zu %-6s %8.1f MB/s\n", label,
              static_cast<double>(text.size()) / 1e6, items,
              phase == Phase::Lex ? "tokens" : "nodes", static_cast<double>(text.size()) / 1e6 / best);
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
  std::size_t lexed_files = 0;
  const std::string lexed = read_corpus(dir, Phase::Lex, &lexed_files);
  std::size_t parsed_files = 0;
  const std::string parsed = read_corpus(dir, Phase::Parse, &parsed_files);
  if (lexed.empty() || parsed.empty()) {
    std::fprintf(stderr, "quarl_bench: no .md file under %s lexes and parses\n", dir.c_str());
    return 2;
  }
  std::printf("%zu files lex and %zu parse of those in %s; best of %d runs\n", lexed_files,
              parsed_files, dir.c_str(), kRuns);
  const std::string markdown = repeat_to_size(lexed);
  measure("lex markdown", Phase::Lex, markdown);
  measure("lex prose", Phase::Lex, as_prose(markdown));
  measure("parse markdown", Phase::Parse, repeat_to_size(parsed));
  const std::string dense = dense_template();
  measure("lex dense", Phase::Lex, dense);
  measure("parse dense", Phase::Parse, dense);
  return 0;
}
