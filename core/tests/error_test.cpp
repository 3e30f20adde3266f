#include "quarl/error.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quarl {
namespace {

struct KindCase {
  Error error;
  ErrorCode code;
  std::string code_string;
  std::string message;
  std::optional<std::string> help;
};

// Every kind in its fixed order, built through its factory.
std::vector<KindCase> kind_cases() {
  return {
      {Error::syntax("bad"), ErrorCode::Syntax, "quarl::syntax", "syntax error: bad", {}},
      {Error::undefined_var("x"), ErrorCode::UndefinedVar, "quarl::undefined_var",
       "undefined variable 'x'", "define 'x' in frontmatter or imports"},
      {Error::undefined_fn("f"), ErrorCode::UndefinedFn, "quarl::undefined_fn",
       "undefined function 'f'", "define 'f' with @define or import it"},
      {Error::arity("g", {2, 2}, 3), ErrorCode::Arity, "quarl::arity",
       "arity mismatch for 'g': expected 2 arguments, got 3",
       "check the call site \u2014 'g' requires a different number of arguments than were "
       "provided"},
      {Error::builtin("upper() expects a string"), ErrorCode::Builtin, "quarl::builtin",
       "upper() expects a string", {}},
      {Error::type_error("number"), ErrorCode::TypeError, "quarl::type_error",
       "type error: expected array for @for loop, got number",
       "@for loops require an array value; valid types are arrays (e.g. [1, 2, 3])"},
      {Error::type_mismatch("string", "number"), ErrorCode::TypeMismatch, "quarl::type_mismatch",
       "type mismatch: cannot compare string with number",
       "left side is string, right side is number; compare against a string literal, use '@if "
       "x:' for truthiness, or pass a string with '--set-string KEY=VALUE'"},
      {Error::circular_import("a \u2192 b \u2192 a"), ErrorCode::CircularImport,
       "quarl::circular_import", "circular import detected: a \u2192 b \u2192 a",
       "check your import graph for cycles; A imports B imports A is not allowed"},
      {Error::file_not_found("./x.quarl"), ErrorCode::FileNotFound, "quarl::file_not_found",
       "file not found: ./x.quarl", "check the file path and ensure the file exists"},
      {Error::import("nope"), ErrorCode::Import, "quarl::import", "import error: nope", {}},
      {Error::name_collision("n"), ErrorCode::NameCollision, "quarl::name_collision",
       "name collision: 'n' is already defined", {}},
      {Error::not_quarl("a.txt"), ErrorCode::NotQuarl, "quarl::not_quarl",
       "not an QUARL file: a.txt", "use .quarl extension or add 'type: quarl' to frontmatter"},
      {Error::io("cannot read"), ErrorCode::Io, "quarl::io", "cannot read", {}},
      {Error::resource_limit("too big"), ErrorCode::ResourceLimit, "quarl::resource_limit",
       "resource limit exceeded: too big", {}},
      {Error::yaml("bad indent"), ErrorCode::Yaml, "quarl::yaml", "YAML parse error: bad indent",
       {}},
      {Error::json("eof"), ErrorCode::Json, "quarl::json", "JSON parse error: eof", {}},
      {Error::invalid_vars("not an object"), ErrorCode::InvalidVars, "quarl::invalid_vars",
       "invalid vars file: not an object",
       "vars file must be a JSON object mapping variable names to values"},
      {Error::var_conflict("k"), ErrorCode::VarConflict, "quarl::var_conflict",
       "variable 'k' is set by both --set and --set-string; use only one",
       "--set coerces the value (bool/number/null/array/string); --set-string always passes a "
       "string \u2014 keep the flag whose semantics you want and drop the other"},
      {Error::module_not_found("lib"), ErrorCode::ModuleNotFound, "quarl::module_not_found",
       "module 'lib' is not in the virtual module map",
       "add the module to `options.modules` (WASM / napi / Python) or switch to the native "
       "backend for filesystem-backed imports"},
      {Error::recursion("r"), ErrorCode::Recursion, "quarl::recursion",
       "recursion detected in function 'r'",
       "QUARL does not support recursive functions; restructure using @for loops or multiple "
       "@define blocks"},
      {Error::export_error("x"), ErrorCode::Export, "quarl::export", "export error: x", {}},
      {Error::extends("y"), ErrorCode::Extends, "quarl::extends", "extends error: y", {}},
      {Error::mixed_content(), ErrorCode::MixedContent, "quarl::mixed_content",
       "mixed content: non-message content found outside @message blocks",
       "move all text and interpolations inside @message blocks, or remove the @message blocks "
       "to use plain markdown mode"},
      {Error::expected_markdown(), ErrorCode::ExpectedMarkdown, "quarl::expected_markdown",
       "expected markdown output, but template produced messages", {}},
      {Error::expected_messages(), ErrorCode::ExpectedMessages, "quarl::expected_messages",
       "expected messages output, but template produced markdown", {}},
      {Error::formatter_invariant("lost a line"), ErrorCode::FormatterInvariant,
       "quarl::formatter_invariant", "formatter produced non-equivalent output: lost a line",
       "this indicates a bug in `quarl fmt` itself; please file an issue"},
  };
}

TEST(Error, EveryKindPresentsItsCodeMessageAndHelp) {
  const auto cases = kind_cases();
  ASSERT_EQ(cases.size(), kErrorCodeCount);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const KindCase& c = cases[i];
    SCOPED_TRACE(c.code_string);
    EXPECT_EQ(static_cast<std::size_t>(c.error.code()), i) << "kinds keep their fixed order";
    EXPECT_EQ(c.error.code(), c.code);
    EXPECT_EQ(c.error.code_string(), c.code_string);
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.help(), c.help);
    EXPECT_FALSE(c.error.span());
  }
}

TEST(Error, TypeErrorWithItsOwnMessage) {
  const Error e = Error::type_error_message("@message role must evaluate to a non-empty string");
  EXPECT_EQ(e.code_string(), "quarl::type_error");
  EXPECT_EQ(e.message(), "type error: @message role must evaluate to a non-empty string");
  EXPECT_EQ(e.help(), std::nullopt);
}

TEST(Error, PayloadTextIsNotScannedForPlaceholders) {
  EXPECT_EQ(Error::undefined_var("{0}{1}").message(), "undefined variable '{0}{1}'");
  EXPECT_EQ(Error::io("").message(), "");
}

struct ArityCase {
  ArityRange range;
  std::size_t got;
  std::string message;
};

TEST(Error, ArityWording) {
  const std::vector<ArityCase> cases = {
      {{1, 1}, 0, "arity mismatch for 'f': expected 1 argument, got 0"},
      {{2, 2}, 1, "arity mismatch for 'f': expected 2 arguments, got 1"},
      {{0, 0}, 1, "arity mismatch for 'f': expected 0 arguments, got 1"},
      {{1, 3}, 4, "arity mismatch for 'f': expected 1-3 arguments, got 4"},
      {{0, 1}, 2, "arity mismatch for 'f': expected 0-1 arguments, got 2"},
  };
  for (const auto& c : cases) EXPECT_EQ(Error::arity("f", c.range, c.got).message(), c.message);
}

TEST(Error, ResolvingStackViolation) {
  const Error popped = Error::resolving_stack_violation("<source>", "lib.quarl");
  EXPECT_EQ(popped.code(), ErrorCode::Syntax);
  EXPECT_FALSE(popped.span());
  EXPECT_EQ(popped.message(),
            "syntax error: internal error: resolving stack LIFO invariant violated (expected "
            "<source>, got lib.quarl) \u2014 this is a compiler bug, please report it");
  EXPECT_EQ(Error::resolving_stack_violation("a", std::nullopt).message(),
            "syntax error: internal error: resolving stack LIFO invariant violated (expected a, "
            "got <empty>) \u2014 this is a compiler bug, please report it");
}

struct LocateCase {
  std::string text;
  std::size_t offset;
  std::optional<LineColumn> expected;
};

TEST(Error, LineAndColumnCountCharactersNotBytes) {
  const std::vector<LocateCase> cases = {
      {"", 0, LineColumn{1, 1}},
      {"abc", 0, LineColumn{1, 1}},
      {"abc", 3, LineColumn{1, 4}},        // the end of the text is a position
      {"abc", 4, std::nullopt},            // past the end
      {"\u00e9\nx", 2, LineColumn{1, 2}},  // after a two-byte character
      {"\u00e9\nx", 3, LineColumn{2, 1}},
      {"\u00e9\nx", 1, std::nullopt},  // inside the two-byte character
      {"\u20ac\u20ac", 3, LineColumn{1, 2}},
      {"\u20ac\u20ac", 4, std::nullopt},
      {"\U0001F600x", 4, LineColumn{1, 2}},
      {"a\r\nb", 2, LineColumn{1, 3}},  // a carriage return is an ordinary character
      {"a\r\nb", 3, LineColumn{2, 1}},
      {"a\rb", 2, LineColumn{1, 3}},
      {"\n\n\nx", 3, LineColumn{4, 1}},
      {"ab\ncd\u00e9f", 8, LineColumn{2, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " in " << testing::PrintToString(c.text));
    EXPECT_EQ(locate(c.text, c.offset), c.expected);
    const Error error =
        Error::syntax("x", Span{c.offset, 1}, std::make_shared<const std::string>(c.text));
    EXPECT_EQ(error.line_column(), c.expected);
  }
}

TEST(Error, SpanWithoutTextHasNoLineOrColumn) {
  const Error error = Error::syntax("x", Span{0, 3});
  ASSERT_TRUE(error.span());
  EXPECT_EQ(*error.span(), (Span{0, 3}));
  EXPECT_FALSE(error.line_column());
  EXPECT_FALSE(Error::syntax("x", std::nullopt, std::make_shared<const std::string>("abc"))
                   .line_column());
}

TEST(Error, KeepsTheModuleTextAlive) {
  auto text = std::make_shared<const std::string>("line one\nline two");
  const Error error = Error::undefined_var("x", Span{14, 3}, text);
  text.reset();
  ASSERT_TRUE(error.module_text());
  EXPECT_EQ(*error.module_text(), "line one\nline two");
  EXPECT_EQ(error.line_column(), (LineColumn{2, 6}));
}

}  // namespace
}  // namespace quarl
