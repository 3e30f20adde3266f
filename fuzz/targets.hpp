// The fuzz targets: each takes one input of arbitrary bytes, runs a phase of
// the compiler on it, and aborts when the phase breaks one of its promises
// (a fault other than a compile error, a result that is not valid UTF-8, a
// round trip that changes what it carries). Compile errors are expected.
//
// libFuzzer calls them through entry.cpp; the C++ tests run them on every
// seed and on every input that ever made one fail.
#pragma once

#include <span>
#include <string_view>

namespace quarl::fuzz {

// Lexing and parsing one module text.
void parse(std::string_view input);
// Formatting any text: a syntax error, or a layout that parses to the same
// tree and formats to itself; never a fault, never a changed meaning.
void format(std::string_view input);
// Loading a frontmatter YAML text; a loaded mapping, merged and written back
// as YAML, must read back as the same tree.
void frontmatter(std::string_view input);
// A whole compile (and check) over a virtual module map decoded from the
// input: the first byte picks the entry (its low three bits), caller
// variables (0x10), a source map (0x20) and Markdown module names (0x40:
// ".md" instead of ".quarl"); the rest is the texts of "m0.quarl",
// "m1.quarl", ... separated by 0xFF bytes.
void compile(std::string_view input);
// Lint over a virtual module map decoded as for `compile`, every rule on:
// a compile error or findings whose spans and fix edits lie inside the
// linted text, on character boundaries, and whose edits leave valid UTF-8.
void lint(std::string_view input);
// The import paths of one module text.
void scan_imports(std::string_view input);
// JSON text read into a value (as lint results read their fix edits) and
// written as canonical text, which must read back as the same value and
// write out as the same text.
void canonical(std::string_view input);

struct Target {
  std::string_view name;
  std::string_view seeds;  // the folder of fuzz/corpus/ it starts from
  void (*run)(std::string_view);
};

inline constexpr Target kTargets[] = {
    {"parse", "parse", parse},
    {"format", "parse", format},
    {"frontmatter", "frontmatter", frontmatter},
    {"compile", "compile", compile},
    {"lint", "compile", lint},
    {"scan_imports", "parse", scan_imports},
    {"canonical", "canonical", canonical},
};

}  // namespace quarl::fuzz
