// Every limit of the compiler, grouped by the phase that checks it, and the
// wording their messages share, so that every limit reads alike. A new limit
// is one constant here plus the check where its phase counts.
//
// The limits callers can see are in the public headers: kMaxSourceBytes and
// kMaxModules (quarl/compile.hpp), kMaxValueSize and kMaxValueDepth
// (quarl/value.hpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarl {

// Syntax: directives, expressions, frontmatter YAML.
inline constexpr std::size_t kMaxNestingDepth = 64;  // @if, @for, @define, @message, @block
inline constexpr std::size_t kMaxElseIfBranches = 256;
inline constexpr std::size_t kMaxConditionOperands = 16;
inline constexpr std::size_t kMaxDotPathNames = 32;  // root included
inline constexpr std::size_t kMaxCallDepth = 64;     // argument lists at depths 0..64
inline constexpr std::size_t kMaxFrontmatterBytes = 1048576;
inline constexpr std::size_t kMaxFlowNesting = 1024;
inline constexpr std::size_t kMaxYamlNodes = 200000;
// Collections nested in each other, block and flow together. Room for the
// deepest flow nesting allowed plus block structure around it, far beyond any
// value a template can use (values nest at most 64 deep); it keeps every walk
// over a document tree shallow.
inline constexpr std::size_t kMaxYamlNesting = 2 * kMaxFlowNesting;
inline constexpr std::size_t kMaxFrontmatterImports = 256;
inline constexpr std::size_t kMaxMergeDepth = 64;

// Modules: keys, loading, linking.
inline constexpr std::size_t kMaxKeySegments = 256;     // segments of one module key
inline constexpr std::size_t kMaxRootSearch = 256;      // folders climbed looking for the root
inline constexpr std::size_t kMaxResolvingDepth = 64;   // modules loading inside each other
inline constexpr std::size_t kMaxBlocks = 256;          // @block declarations per module

// Rendering: the check gate, one evaluation, its output and source map.
inline constexpr std::size_t kMaxValidationDepth = 64;  // nested calls checked in arguments
inline constexpr std::size_t kMaxLoopIterations = 100000;    // one @for
inline constexpr std::size_t kMaxTotalIterations = 1000000;  // all @for of one evaluation
inline constexpr std::size_t kMaxCallStack = 128;            // user functions executing
inline constexpr std::size_t kMaxWarnings = 1000;
inline constexpr std::size_t kMaxOutputBytes = 52428800;     // rendered text
inline constexpr std::size_t kMaxMessages = 10000;
inline constexpr std::size_t kMaxMessageBytes = 52428800;    // all contents together
inline constexpr std::size_t kMaxBuiltinOutput = 52428800;   // replace() and join()
inline constexpr std::size_t kMaxSplitPieces = 100000;
inline constexpr std::size_t kMaxMapSegments = 1000000;
inline constexpr std::size_t kMaxSourcesContentBytes = 52428800;  // all embedded texts together

// Lint.
inline constexpr std::size_t kMaxFactsDepth = 64;  // bodies in the walk (the module body is 0)
inline constexpr std::size_t kMaxDiagnosticsPerFile = 1000;

// Diagnostics: names compared when suggesting the one a misspelling meant.
inline constexpr std::size_t kMaxCompared = 64;

// "{subject} exceeds maximum {measure} of {max}{unit}": "nesting depth exceeds
// maximum of 64", "value nesting exceeds maximum depth of 64", "output exceeds
// maximum size of 52428800 bytes".
inline std::string exceeds_maximum(std::string_view subject, std::size_t max,
                                   std::string_view measure = {}, std::string_view unit = {}) {
  std::string text(subject);
  text += " exceeds maximum ";
  if (!measure.empty()) {
    text += measure;
    text += ' ';
  }
  text += "of ";
  text += std::to_string(max);
  text += unit;
  return text;
}

// "file too large ({size} bytes, max {max} bytes): {shown}".
inline std::string file_too_large(std::size_t size, std::size_t max, std::string_view shown) {
  return "file too large (" + std::to_string(size) + " bytes, max " + std::to_string(max) +
         " bytes): " + std::string(shown);
}

}  // namespace quarl
